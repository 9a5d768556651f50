/** @file
  Morvane started by the firmware (EFI\BOOT\BOOTX64.EFI on a stick, or a
  boot option) rather than from a shell: a stick that needs no shell can
  stay under Secure Boot, since a signed shell would open the machine to
  anything.

  Everything comes from MORVANE.CFG beside Morvane.efi on its own volume.
  Each attempt is a run with options (closing check and log), logged to
  MORVANE.LOG; the banner then tells the operator what the EC holds, and a
  key either flashes again in place or returns to the firmware. The
  firmware only gets the machine back with a finished EC: it would boot the
  operating system on a half-written one.

  The screen tells the operator to keep the power on only from the moment
  the first erase goes: a machine that is refused (another model, no EC)
  may be switched off, and must not have been told otherwise first.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/LoadedImage.h>
}

#include "BootMode.h"
#include "CatalogBoot.h"
#include "Depot.h"
#include "EcProgress.h"
#include "EcRun.h"
#include "NetBoot.h"
#include "ProgressScreen.h"
#include "Settings.h"
#include "Ucs2.h"
#include "VolumeFile.h"

#define ANNOUNCE_ROW      1
#define FLASHING_ROW      (ANNOUNCE_ROW + 2)
#define FLASHING          u"Flashing: do not remove power."
#define SETTINGS_PATH     u"\\MORVANE.CFG"

//
// Keys typed while the run had the keyboard are dropped before the
// operator is asked; a key held down cannot keep the loop going for ever.
//
#define STALE_KEYS_MAX    64

#define BANNER_RULE  u"**************************************************************\r\n"

//
// A machine booted from a depot: its results go to the depot's results/
// folder, its save with them; it has no volume of its own.
//
STATIC BOOLEAN  mFromDepot = FALSE;
STATIC CHAR16   mResults[DEPOT_URL_CHARS + 1];

//
// The attempt's first erase has been announced.
//
STATIC BOOLEAN  mFlashingShown = FALSE;

STATIC CONST char16_t  *CONST  mPrompts[] = {
  u"Press a key to return to the firmware.\r\n",     // BannerDone
  u"Press a key to return to the firmware.\r\n",     // BannerUpToDate
  u"Press a key to try again.\r\n",                  // BannerNothingChanged
  u"Press a key to flash again.\r\n",                // BannerFailed
  u"Press a key to return to the firmware.\r\n"      // BannerNoImage
};

BOOLEAN
StartedByFirmware (
  IN EFI_HANDLE  ImageHandle
  )
{
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;

  if (!EFI_ERROR (ShellInitialize ())) {
    return FALSE;
  }

  return !EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded)));
}

/**
  The progress screen's erase mark, and before the attempt's first erase,
  the warning that from now on the power must stay on.

  @param[in] Block   The block about to be erased.
**/
STATIC
VOID
EFIAPI
ShowEraseStarted (
  IN UINT32  Block
  )
{
  if (!mFlashingShown) {
    mFlashingShown = TRUE;
    MoveTo (LABEL_COLUMN, FLASHING_ROW);
    Print (Ucs2 (FLASHING));
  }

  ProgressScreen ()->EraseStarted (Block);
}

/**
  Wait for the operator's key. The watchdog is off: waiting is the point.

  @param[in] Prompt   What the key will do.
**/
STATIC
VOID
WaitForOperator (
  IN CONST CHAR16  *Prompt
  )
{
  EFI_INPUT_KEY  Key;
  UINTN          Index;

  Print (Ucs2 (u"%s"), Prompt);
  for (Index = 0; Index < STALE_KEYS_MAX && !EFI_ERROR (gST->ConIn->ReadKeyStroke (gST->ConIn, &Key)); Index++) {
  }

  gBS->WaitForEvent (1, &gST->ConIn->WaitForKey, &Index);
  gST->ConIn->ReadKeyStroke (gST->ConIn, &Key);
}

/**
  Read and check MORVANE.CFG from the volume's root.

  @param[out] Settings   The settings.

  @retval EFI_SUCCESS   Settings holds the file.
  @return               The file was refused; the screen says why.
**/
STATIC
EFI_STATUS
LoadSettings (
  OUT MORVANE_SETTINGS  *Settings
  )
{
  EFI_STATUS   Status;
  VOLUME_FILE  File;
  UINT8        Text[SETTINGS_MAX_BYTES + 1];
  UINTN        Size;
  CHAR16       Refusal[SETTINGS_REFUSAL_CHARS];

  Status = VolumeOpen (Ucs2 (SETTINGS_PATH), &File, EFI_FILE_MODE_READ);
  if (Status == EFI_NOT_FOUND) {
    Print (Ucs2 (u"MORVANE.CFG not found beside Morvane.efi; nothing was done.\r\n"));
    return Status;
  }

  if (!EFI_ERROR (Status)) {
    //
    // One byte past the bound tells a file that is too large.
    //
    Status = ReadFull (File, Text, sizeof (Text), &Size);
    VolumeClose (&File);
  }

  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"MORVANE.CFG cannot be read (%r); nothing was done.\r\n"), Status);
    return Status;
  }

  Status = SettingsParse (Text, Size, FALSE, Settings, Refusal, sizeof (Refusal));
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"%s"), Refusal);
  }

  return Status;
}

/**
  Read the catalogue's index that catalog= names from beside Morvane.efi
  and choose from it.

  @param[in, out] Settings   The settings; the chosen capsule as image=.
  @param[out]     Catalog    The choice.

  @return EFI_SUCCESS, or the refusal's status (the screen says why).
**/
STATIC
EFI_STATUS
LoadIndex (
  IN OUT MORVANE_SETTINGS  *Settings,
  OUT    BOOT_CATALOG      *Catalog
  )
{
  EFI_STATUS   Status;
  VOLUME_FILE  File;
  CHAR16       Path[SETTINGS_NAME_CHARS + 2];
  UINT8        *Text;
  UINTN        Size;

  Text = static_cast<UINT8 *>(AllocatePool (CATALOG_MAX_BYTES + 1));
  if (Text == NULL) {
    Print (Ucs2 (u"No memory for %s; nothing was done.\r\n"), Settings->Catalog);
    return EFI_OUT_OF_RESOURCES;
  }

  UnicodeSPrint (Path, sizeof (Path), Ucs2 (u"\\%s"), Settings->Catalog);
  Status = VolumeOpen (Path, &File, EFI_FILE_MODE_READ);
  if (!EFI_ERROR (Status)) {
    //
    // One byte past the bound tells a file that is too large.
    //
    Status = ReadFull (File, Text, CATALOG_MAX_BYTES + 1, &Size);
    VolumeClose (&File);
  }

  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"MORVANE.CFG names the catalogue %s, which cannot be read beside Morvane.efi (%r); nothing was done.\r\n"), Settings->Catalog, Status);
  } else {
    Status = ChooseFromIndex (Text, Size, Settings, Catalog);
  }

  FreePool (Text);
  return Status;
}

/**
  The size of the image the settings name, which must be a file beside
  Morvane.efi.

  @param[in]  Settings   The settings.
  @param[out] Path       Receives "\NAME".
  @param[in]  PathSize   Its size in bytes.
  @param[out] Size       The image's size.

  @return The status of the open or of the size; the screen says why.
**/
STATIC
EFI_STATUS
FindImage (
  IN  CONST MORVANE_SETTINGS  *Settings,
  OUT CHAR16                  *Path,
  IN  UINTN                   PathSize,
  OUT UINT64                  *Size
  )
{
  EFI_STATUS   Status;
  VOLUME_FILE  File;

  UnicodeSPrint (Path, PathSize, Ucs2 (u"\\%s"), Settings->Image);
  Status = VolumeOpen (Path, &File, EFI_FILE_MODE_READ);
  if (!EFI_ERROR (Status)) {
    Status = VolumeGetSize (File, Size);
    VolumeClose (&File);
  }

  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"MORVANE.CFG names the image %s, which is not a file beside Morvane.efi (%r); nothing was done.\r\n"), Settings->Image, Status);
  }

  return Status;
}

/**
  The first free save, from SAVE001.BIN on.

  @param[out] Path   Receives its path.
  @param[in]  Size   Its size in bytes.

  @retval TRUE   Path names a file that does not exist.
**/
STATIC
BOOLEAN
FindFreeSave (
  OUT CHAR16  *Path,
  IN  UINTN   Size
  )
{
  UINTN  Number;

  for (Number = BOOT_FIRST_SAVE; Number <= BOOT_LAST_SAVE; Number++) {
    BootSavePath (Number, Path, Size);
    if (VolumeExists (Path) == EFI_NOT_FOUND) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  A pool copy of a string, or NULL for none.
**/
STATIC
CHAR16 *
CopyOf (
  IN CONST CHAR16  *Text
  )
{
  return (Text == NULL) ? NULL : CatSPrint (NULL, Ucs2 (u"%s"), Text);
}

/**
  The options of one attempt, as the stick's command line once gave them:
  -u, -c, -m, -s, -l, and the depot when the settings name one.

  @param[in]  Settings    The settings.
  @param[in]  ImagePath   The image.
  @param[in]  SavePath    The save, or NULL.
  @param[out] Options     The options.

  @retval TRUE   Every string was allocated.
**/
STATIC
BOOLEAN
BuildOptions (
  IN  CONST MORVANE_SETTINGS  *Settings,
  IN  CONST CHAR16            *ImagePath,
  IN  CONST CHAR16            *SavePath,
  OUT MORVANE_OPTIONS         *Options
  )
{
  ZeroMem (Options, sizeof (*Options));
  Options->Mode        = ModeFlash;
  Options->OwnOptions  = TRUE;
  Options->Update      = Settings->Update;
  Options->HasCrc      = Settings->HasCrc;
  Options->ExpectedCrc = Settings->Crc;
  Options->NoCrcLine   = !Settings->HasCrc;
  Options->ImageName   = CopyOf (Settings->Image);
  Options->Model       = CopyOf (Settings->HasModel ? Settings->Model : NULL);
  if (mFromDepot) {
    Options->SaveInMemory = (SavePath != NULL);
    Options->DepotUrl     = CopyOf (mResults);
    return (Options->ImageName != NULL) && (Options->DepotUrl != NULL) &&
           ((Options->Model != NULL) || !Settings->HasModel);
  }

  Options->ImagePath   = CopyOf (ImagePath);
  Options->LogPath     = CopyOf (Ucs2 (BOOT_LOG_PATH));
  Options->SavePath    = CopyOf (SavePath);
  Options->DepotUrl    = CopyOf (Settings->HasDepot ? Settings->Depot : NULL);

  return (Options->ImageName != NULL) && (Options->ImagePath != NULL) && (Options->LogPath != NULL) &&
         ((Options->SavePath != NULL) || (SavePath == NULL)) &&
         ((Options->Model != NULL) || !Settings->HasModel) &&
         ((Options->DepotUrl != NULL) || !Settings->HasDepot);
}

/**
  One attempt: the screen, what it will do, the run.

  @param[in]  Settings        The settings.
  @param[in]  ImagePath       The image.
  @param[in]  ImageSize       Its size.
  @param[in]  Attempt         1 for the first.
  @param[in]  SavePath        The save this attempt makes first, or NULL.
  @param[in]  Erased          An earlier attempt sent an erase.
  @param[out] ErasedThisRun   Whether this attempt sent one.

  @return The run's status.
**/
STATIC
EFI_STATUS
FlashOnce (
  IN  CONST MORVANE_SETTINGS  *Settings,
  IN  CONST CHAR16            *ImagePath,
  IN  UINT64                  ImageSize,
  IN  UINTN                   Attempt,
  IN  CONST CHAR16            *SavePath,
  IN  BOOLEAN                 Erased,
  OUT BOOLEAN                 *ErasedThisRun
  )
{
  EFI_STATUS       Status;
  EFI_TIME         StartTime;
  MORVANE_OPTIONS  Options;

  *ErasedThisRun = FALSE;
  ZeroMem (&StartTime, sizeof (StartTime));
  ReadStartTime (&StartTime);
  DrawProgressScreen (&StartTime);
  MoveTo (LOOP_COLUMN, LOOP_ROW);
  Print (Ucs2 (u"Loop : %d "), Attempt);

  MoveTo (LABEL_COLUMN, ANNOUNCE_ROW);
  if (Settings->HasCrc) {
    Print (
      Ucs2 (u"Morvane will check %s (%Lu bytes, CRC-32 %08X) and flash it onto this machine's EC if it may.\r\n"),
      Settings->Image,
      ImageSize,
      Settings->Crc
      );
  } else {
    Print (Ucs2 (u"Morvane will check %s (%Lu bytes) and flash it onto this machine's EC if it may.\r\n"), Settings->Image, ImageSize);
  }

  MoveTo (LABEL_COLUMN, ANNOUNCE_ROW + 1);
  if ((SavePath != NULL) && mFromDepot) {
    Print (Ucs2 (u"The EC firmware it replaces is saved to the depot first.\r\n"));
  } else if (SavePath != NULL) {
    Print (Ucs2 (u"The EC firmware it replaces is saved to %s first.\r\n"), SavePath + 1);
  } else if (Settings->Save) {
    //
    // Only after an erase: the EC is half-written already.
    //
    Print (Ucs2 (u"No new save: the EC may be half-written. Do not remove power.\r\n"));
  } else {
    Print (Ucs2 (u"No save (save=no).\r\n"));
  }

  MoveTo (0, MESSAGE_ROW);
  if (!BuildOptions (Settings, ImagePath, SavePath, &Options)) {
    FreeOptions (&Options);
    Print (Ucs2 (u"Out of memory for the run. Nothing was flashed.\r\n"));
    return EFI_OUT_OF_RESOURCES;
  }

  if (SavePath != NULL) {
    DrawSaveLabel ();
  }

  //
  // A retry that fails before its own erase must not call a half-written
  // EC unchanged, in its line or at the depot.
  //
  Options.ErasedBefore = Erased;
  mFlashingShown       = FALSE;
  Status               = RunMorvane (&Options, &StartTime);
  *ErasedThisRun       = RunEraseSent ();
  return Status;
}

/**
  The banner, where the log and the save are, and what a key will do.

  @param[in] Banner     The banner.
  @param[in] SavePath   The save this boot made, or an empty string.
  @param[in] Prompt     What the key will do.
**/
STATIC
VOID
ShowBanner (
  IN BOOT_BANNER   Banner,
  IN CONST CHAR16  *SavePath,
  IN CONST CHAR16  *Prompt
  )
{
  UINTN  Column;
  UINTN  Row;

  //
  // The warning that came with the first erase gives way to the banner,
  // which says what the operator may do now.
  //
  if (mFlashingShown) {
    Column = gST->ConOut->Mode->CursorColumn;
    Row    = gST->ConOut->Mode->CursorRow;
    MoveTo (LABEL_COLUMN, FLASHING_ROW);
    Print (Ucs2 (u"%*s"), StrLen (Ucs2 (FLASHING)), Ucs2 (u""));
    MoveTo (Column, Row);
  }

  Print (Ucs2 (u"\r\n" BANNER_RULE u"  %s\r\n" BANNER_RULE), BootBannerText (Banner));
  if (mFromDepot) {
    Print (Ucs2 (u"Results: %s at the depot.\r\n"), mResults);
  } else if (SavePath[0] != 0) {
    Print (Ucs2 (u"Log: MORVANE.LOG on the stick; old firmware: %s.\r\n"), SavePath + 1);
  } else {
    Print (Ucs2 (u"Log: MORVANE.LOG on the stick.\r\n"));
  }

  WaitForOperator (Prompt);
}

/**
  The settings and the image, checked before any attempt. A refusal waits
  for a key and returns to the firmware: nothing was touched. With a
  catalogue, the image is the capsule chosen from it, if any.

  @param[in]  ImageHandle   Morvane's image handle.
  @param[out] Settings      The settings.
  @param[out] ImagePath     The image's path.
  @param[in]  PathSize      Its size in bytes.
  @param[out] ImageSize     The image's size.
  @param[out] Catalog       The catalogue's choice (Used FALSE without one).

  @return EFI_SUCCESS, or the refusal's status.
**/
STATIC
EFI_STATUS
Prepare (
  IN  EFI_HANDLE        ImageHandle,
  OUT MORVANE_SETTINGS  *Settings,
  OUT CHAR16            *ImagePath,
  IN  UINTN             PathSize,
  OUT UINT64            *ImageSize,
  OUT BOOT_CATALOG      *Catalog
  )
{
  EFI_STATUS  Status;
  EFI_TIME    StartTime;
  CHAR16      Base[DEPOT_URL_CHARS + 1];

  ZeroMem (&StartTime, sizeof (StartTime));
  ReadStartTime (&StartTime);
  DrawProgressScreen (&StartTime);
  ZeroMem (Catalog, sizeof (*Catalog));
  mFromDepot = FindBootDepot (ImageHandle, Base, ARRAY_SIZE (Base));
  if (mFromDepot) {
    return PrepareFromDepot (Base, Settings, mResults, sizeof (mResults), ImageSize, Catalog);
  }

  Status = VolumeUseImageVolume (ImageHandle);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"MORVANE.CFG not found beside Morvane.efi; nothing was done.\r\n"));
    return Status;
  }

  Status = LoadSettings (Settings);
  if (!EFI_ERROR (Status) && Settings->HasCatalog) {
    Status = LoadIndex (Settings, Catalog);
    if (EFI_ERROR (Status) || (Catalog->Choice != CatalogFetch)) {
      return Status;
    }
  }

  if (!EFI_ERROR (Status)) {
    Status = FindImage (Settings, ImagePath, PathSize, ImageSize);
  }

  //
  // The index bounds what is read of its capsule, as a fetch from a depot.
  //
  if (!EFI_ERROR (Status) && Catalog->Used && (*ImageSize > Catalog->Size)) {
    Print (
      Ucs2 (u"The image %s is larger than %s says (%d bytes); nothing was done.\r\n"),
      Settings->Image,
      Settings->Catalog,
      Catalog->Size
      );
    Status = EFI_BAD_BUFFER_SIZE;
  }

  return Status;
}

/**
  The one run of a boot whose catalogue decided without an image: no
  capsule for this machine, or the EC has the chosen version already. The
  run touches nothing and logs the decision to MORVANE.LOG or the depot.

  @param[in] Settings   The settings.
  @param[in] Catalog    The choice.

  @return EFI_SUCCESS when up to date; EFI_NOT_FOUND when no image.
**/
STATIC
EFI_STATUS
ReportWithoutImage (
  IN CONST MORVANE_SETTINGS  *Settings,
  IN CONST BOOT_CATALOG      *Catalog
  )
{
  MORVANE_OPTIONS  Options;
  EFI_TIME         StartTime;
  BOOLEAN          Named;

  ZeroMem (&StartTime, sizeof (StartTime));
  ReadStartTime (&StartTime);
  ZeroMem (&Options, sizeof (Options));
  Options.Mode           = ModeFlash;
  Options.OwnOptions     = TRUE;
  Options.CatalogVerdict = (Catalog->Choice == CatalogUpToDate) ? RunCatalogUpToDate : RunCatalogNoImage;
  Options.CatalogVersion = Catalog->Version;
  Named                  = (Catalog->Choice == CatalogUpToDate);
  Options.ImageName      = Named ? CopyOf (Settings->Image) : NULL;
  if (mFromDepot) {
    Options.DepotUrl = CopyOf (mResults);
  } else {
    Options.LogPath  = CopyOf (Ucs2 (BOOT_LOG_PATH));
    Options.DepotUrl = CopyOf (Settings->HasDepot ? Settings->Depot : NULL);
  }

  MoveTo (0, MESSAGE_ROW);
  if (((Options.ImageName == NULL) && Named) || ((Options.DepotUrl == NULL) && (mFromDepot || Settings->HasDepot)) ||
      ((Options.LogPath == NULL) && !mFromDepot))
  {
    FreeOptions (&Options);
    Print (Ucs2 (u"Out of memory for the run. Nothing was flashed.\r\n"));
    return EFI_OUT_OF_RESOURCES;
  }

  return RunMorvane (&Options, &StartTime);
}

EFI_STATUS
RunBootMode (
  IN EFI_HANDLE  ImageHandle
  )
{
  EFI_STATUS        Status;
  MORVANE_SETTINGS  Settings;
  CHAR16            ImagePath[SETTINGS_NAME_CHARS + 2];
  CHAR16            SavePath[BOOT_NAME_CHARS];
  CHAR16            LastSave[BOOT_NAME_CHARS];
  UINT64            ImageSize;
  BOOLEAN           Erased;
  BOOT_BANNER       Banner;
  UINTN             Attempt;
  BOOLEAN           Save;
  BOOLEAN           ErasedThisRun;
  EC_PROGRESS       Progress;
  BOOT_CATALOG      Catalog;

  Progress              = *ProgressScreen ();
  Progress.EraseStarted = ShowEraseStarted;
  EcProgressSet (&Progress);

  //
  // The boot manager arms a five-minute watchdog for every boot option; an
  // operator reading the banner must not have the machine reset under him.
  //
  gBS->SetWatchdogTimer (0, 0, 0, NULL);

  Status = Prepare (ImageHandle, &Settings, ImagePath, sizeof (ImagePath), &ImageSize, &Catalog);
  if (EFI_ERROR (Status)) {
    WaitForOperator (Ucs2 (u"Nothing was changed. Press a key to return to the firmware.\r\n"));
    ReleaseFetchedImage ();
    VolumeRelease ();
    return Status;
  }

  //
  // Nothing to flash: a retry would decide the same, so a key returns to
  // the firmware whatever the banner, even after a run that could not
  // leave its line.
  //
  if (Catalog.Used && (Catalog.Choice != CatalogFetch)) {
    Status      = ReportWithoutImage (&Settings, &Catalog);
    LastSave[0] = 0;
    ShowBanner (
      (Catalog.Choice == CatalogNoImage) ? BannerNoImage : BootBanner (Status, FALSE, FALSE),
      LastSave,
      Ucs2 (mPrompts[BannerNoImage])
      );
    VolumeRelease ();
    return Status;
  }

  Erased      = FALSE;
  LastSave[0] = 0;
  for (Attempt = 1; ; Attempt++) {
    Save = BootSaves (Settings.Save, Erased);
    if (Save && mFromDepot) {
      StrCpyS (SavePath, ARRAY_SIZE (SavePath), Ucs2 (u"\\"));
    } else if (Save && !FindFreeSave (SavePath, sizeof (SavePath))) {
      //
      // Saves are only taken while nothing was erased: the EC is as it was.
      //
      Print (Ucs2 (u"SAVE001.BIN to SAVE099.BIN are all taken: make room on the stick. Nothing was flashed.\r\n"));
      WaitForOperator (Ucs2 (u"Nothing was changed. Press a key to return to the firmware.\r\n"));
      Status = EFI_VOLUME_FULL;
      break;
    }

    Status = FlashOnce (&Settings, ImagePath, ImageSize, Attempt, Save ? SavePath : NULL, Erased, &ErasedThisRun);
    if (Save && !mFromDepot && !EFI_ERROR (VolumeExists (SavePath))) {
      StrCpyS (LastSave, ARRAY_SIZE (LastSave), SavePath);
    }

    Banner = BootBanner (Status, ErasedThisRun, Erased);
    Erased = Erased || ErasedThisRun;
    ShowBanner (Banner, LastSave, Ucs2 (mPrompts[Banner]));
    if (!BootRetries (Banner)) {
      break;
    }
  }

  ReleaseFetchedImage ();
  VolumeRelease ();
  return Status;
}
