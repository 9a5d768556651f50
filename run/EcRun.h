/** @file
  The run: everything Morvane does between "the options are known" and the
  run's result, whichever front end started it (the shell command, the
  boot program, a driver): the pre-flight checks, the image in memory, the
  device session with its modes (flash, update, verify, save), the closing
  check, the run log and the run's results at a depot.

  The run draws nothing and reaches no shell: what it has to show goes out
  through the progress the front end set (EcProgress.h), and its files
  through the file layer (VolumeFile.h).

**/

#ifndef MORVANE_EC_RUN_H_
#define MORVANE_EC_RUN_H_

extern "C" {
#include <Uefi.h>
}

#include "EcCapsule.h"

typedef enum {
  ModeFlash,    ///< erase, program and verify the image (after a save with -s)
  ModeVerify,   ///< compare the EC flash with the image; nothing is changed
  ModeSave      ///< save BLOCKS blocks of the EC flash to a file, nothing more
} RUN_MODE;

//
// What a catalogue decided for a run that has no image to check: nothing
// is read from or sent to the EC; the run only logs the decision.
//
typedef enum {
  RunFromImage,        ///< an ordinary run: the image decides
  RunCatalogNoImage,   ///< the catalogue offers this machine nothing
  RunCatalogUpToDate   ///< the EC already has the version the catalogue offers
} RUN_CATALOG_VERDICT;

typedef struct _MORVANE_OPTIONS  MORVANE_OPTIONS;

/**
  The front end's look-up of the image name, called by the run once its log
  is open, so that a name that cannot be flashed is logged: ImagePath is set,
  or the run's last line is out.

  @param[in, out] Options   ImageName in; ImagePath out (NULL when refused).

  @return The status to end with when ImagePath is NULL.
**/
typedef
EFI_STATUS
(EFIAPI *RUN_RESOLVE_IMAGE_PATH)(
  IN OUT MORVANE_OPTIONS  *Options
  );

//
// What a run is to do, as the command line (or MORVANE.CFG) asks for it.
// Every string is a pool copy that FreeOptions releases.
//
struct _MORVANE_OPTIONS {
  RUN_MODE                  Mode;
  BOOLEAN                   OwnOptions;        ///< any of Morvane's own options was given
  CHAR16                    *ImageName;        ///< the image as typed; NULL for a save alone
  CHAR16                    *ImagePath;        ///< the image path to open, once resolved
  CHAR16                    *SavePath;         ///< -s, as a full path; NULL without it
  CHAR16                    *LogPath;          ///< -l, as a full path; NULL without it
  CHAR16                    *Model;            ///< -m: the product the image is for; NULL without it
  BOOLEAN                   SaveInMemory;      ///< save with no file: kept in memory and sent to the depot
  CHAR16                    *DepotUrl;         ///< -p, or MORVANE.CFG's depot=: where the run's results go; NULL without one
  BOOLEAN                   Update;            ///< -u: rewrite only the blocks that differ
  BOOLEAN                   HasCrc;            ///< -c was given
  UINT32                    ExpectedCrc;
  BOOLEAN                   NoCrcLine;         ///< MORVANE.CFG has no crc32=: only a capsule whose signature is checked is taken
  UINT32                    SaveBlocks;        ///< -n: blocks to save alone
  BOOLEAN                   ErasedBefore;      ///< an earlier attempt of this boot sent an erase: the EC may be half-written
  RUN_CATALOG_VERDICT       CatalogVerdict;    ///< what a catalogue decided without an image (RunFromImage: nothing)
  UINT32                    CatalogVersion;    ///< with RunCatalogUpToDate: the version the EC has
  RUN_RESOLVE_IMAGE_PATH    ResolveImagePath;  ///< finds ImagePath from ImageName; NULL when ImagePath is given
};

/**
  Read the run's start time from the clock; a clock that cannot be read
  gives all zero.

  @param[out] StartTime   Receives the start time.
**/
VOID
ReadStartTime (
  OUT EFI_TIME  *StartTime
  );

/**
  Carry out what the options ask: the pre-flight checks, then the device
  session. The options are freed.

  @param[in, out] Options     The options.
  @param[in]      StartTime   The start time.

  @return The run's status.
**/
EFI_STATUS
RunMorvane (
  IN OUT MORVANE_OPTIONS  *Options,
  IN     CONST EFI_TIME   *StartTime
  );

/**
  End the run with its last line: the line is written to the run log (when
  there is one) and the log closed before the line is shown, so that an
  operator who acts on the line finds it on disk.

  @param[in] Status   The run's status.
  @param[in] Format   The line, with its line end.
  @param[in] ...      Its arguments.

  @return Status.
**/
EFI_STATUS
EFIAPI
EndRun (
  IN EFI_STATUS    Status,
  IN CONST CHAR16  *Format,
  ...
  );

/**
  Whether the last run sent an erase to the EC: its log says ec=flashed or
  ec=incomplete.

  @retval TRUE   It did.
**/
BOOLEAN
RunEraseSent (
  VOID
  );

/**
  Release the strings of the options.

  @param[in, out] Options   The options.
**/
VOID
FreeOptions (
  IN OUT MORVANE_OPTIONS  *Options
  );

/**
  Read the machine's hardware IDs (HardwareID-0 to -14) and the SMBIOS
  fields they are made of, from the table the firmware publishes.

  @param[out] Fields   The fields; their texts point into the table or Fields.
  @param[out] Ids      The IDs; none when the firmware publishes no table.

  @retval EFI_SUCCESS        Fields and Ids are set.
  @retval EFI_DEVICE_ERROR   The hash failed.
**/
EFI_STATUS
ReadMachineHwIds (
  OUT EC_HWID_FIELDS  *Fields,
  OUT EC_HWIDS        *Ids
  );

/**
  Read the machine's serial number and UUID from the SMBIOS system
  information (type 1), as text fit for the log: "-" where the firmware
  publishes none.

  @param[out] Serial       Receives the serial number.
  @param[in]  SerialSize   Its size in characters.
  @param[out] Uuid         Receives the UUID.
  @param[in]  UuidSize     Its size in characters.
**/
VOID
ReadMachineIdentity (
  OUT CHAR16  *Serial,
  IN  UINTN   SerialSize,
  OUT CHAR16  *Uuid,
  IN  UINTN   UuidSize
  );

/**
  Take an image already in memory as the image of the runs that follow;
  the caller keeps it, and releases it after ReturnImage.

  @param[in] Data   The image.
  @param[in] Size   Its size; at most MAX_IMAGE_SIZE.
**/
VOID
LendImage (
  IN UINT8   *Data,
  IN UINT64  Size
  );

/**
  Give a lent image back: the run has no image again, the caller's copy is
  left alone.
**/
VOID
ReturnImage (
  VOID
  );

/**
  Take memory of the caller's as the place the saves of the runs that follow
  read the EC into, instead of pool memory that the run frees as it ends: a
  driver that reads the EC keeps what the save read. A save of more blocks
  than it holds fails as one without memory, before anything is read.

  @param[in] Data     The memory; Blocks * 64 KiB bytes.
  @param[in] Blocks   How many blocks it holds.
**/
VOID
LendSaveBuffer (
  IN UINT8   *Data,
  IN UINT32  Blocks
  );

/**
  Give lent save memory back: the saves that follow use pool memory again;
  the caller's memory keeps what the last save read.
**/
VOID
ReturnSaveBuffer (
  VOID
  );

/**
  The last line of the last run that ended with one (every run does but
  one whose log cannot be opened), with its line end: for a front end
  without a screen, what to report or log.

  @return The line; empty before any run ended.
**/
CONST CHAR16 *
RunLastLine (
  VOID
  );

#endif
