/** @file
  Morvane started by the firmware, with no shell: the run that MORVANE.CFG
  beside it asks for, its save, its log, its banner and the operator's key.

**/

#ifndef MORVANE_BOOT_MODE_H_
#define MORVANE_BOOT_MODE_H_

extern "C" {
#include <Uefi.h>
}

//
// The saves a stick keeps: SAVE001.BIN to SAVE099.BIN, never overwritten.
//
#define BOOT_FIRST_SAVE   1
#define BOOT_LAST_SAVE    99
#define BOOT_NAME_CHARS   80

#define BOOT_LOG_PATH     u"\\MORVANE.LOG"

typedef enum {
  BannerDone,             ///< the run succeeded after an erase
  BannerUpToDate,         ///< the run succeeded and nothing was ever erased
  BannerNothingChanged,   ///< the run failed and nothing was ever erased
  BannerFailed,           ///< the run failed after an erase: the EC is half-written
  BannerNoImage           ///< the catalogue has no image for this machine: nothing was touched
} BOOT_BANNER;

/**
  The banner that ends a run. An erase sent by an earlier attempt of the
  same boot counts: a retry that fails before its own first erase leaves
  the EC as half-written as the attempt before left it.

  @param[in] Status          The run's status.
  @param[in] ErasedThisRun   The run sent an erase (its log says ec=flashed or ec=incomplete).
  @param[in] ErasedBefore    An earlier attempt of this boot sent one.

  @return The banner.
**/
BOOT_BANNER
BootBanner (
  IN EFI_STATUS  Status,
  IN BOOLEAN     ErasedThisRun,
  IN BOOLEAN     ErasedBefore
  );

/**
  The banner's text, without line end.

  @param[in] Banner   The banner.

  @return Its text.
**/
CONST CHAR16 *
BootBannerText (
  IN BOOT_BANNER  Banner
  );

/**
  Whether the operator's key after the banner flashes again; otherwise it
  returns to the firmware, which only a finished EC may let it do.

  @param[in] Banner   The banner.

  @retval TRUE   A key flashes again in place.
**/
BOOLEAN
BootRetries (
  IN BOOT_BANNER  Banner
  );

/**
  Whether an attempt saves the EC flash first: only while no erase was ever
  sent, since a save after one would keep a half-written flash as if it were
  the old firmware.

  @param[in] SaveWanted   save=yes in MORVANE.CFG.
  @param[in] ErasedEver   An attempt of this boot sent an erase.

  @retval TRUE   The attempt saves.
**/
BOOLEAN
BootSaves (
  IN BOOLEAN  SaveWanted,
  IN BOOLEAN  ErasedEver
  );

/**
  The path of a save on the volume's root: "\SAVEnnn.BIN".

  @param[in]  Number   From BOOT_FIRST_SAVE to BOOT_LAST_SAVE.
  @param[out] Path     Receives the path.
  @param[in]  Size     Its size in bytes.
**/
VOID
BootSavePath (
  IN  UINTN   Number,
  OUT CHAR16  *Path,
  IN  UINTN   Size
  );

/**
  Tell whether Morvane was started by the firmware rather than a shell: no
  shell answers, and the image knows where it was loaded from.

  @param[in] ImageHandle   Morvane's image handle.

  @retval TRUE   Run in boot mode.
**/
BOOLEAN
StartedByFirmware (
  IN EFI_HANDLE  ImageHandle
  );

/**
  The boot mode: read MORVANE.CFG beside Morvane.efi, flash as it says,
  show the banner and wait for the operator; after a failure a key flashes
  again in place.

  @param[in] ImageHandle   Morvane's image handle.

  @return The last run's status (or the refusal's).
**/
EFI_STATUS
RunBootMode (
  IN EFI_HANDLE  ImageHandle
  );

#endif
