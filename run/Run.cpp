/** @file
  The run, step by step: the run log and the depot, then the pre-flight
  (the image path, the save file, the image's CRC-32 and what it is: a raw
  image, or a capsule with its signature, machine and version), all before
  any device is touched; then the watchdog off and the device session
  (keyboard bracket, flash mode, the save, the mode's blocks, the closing
  check, the version record and the last line).

  The steps are called from here alone, in this order; each fills in the
  run's shared state (RunState.h) and none calls another.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "DepotRun.h"
#include "EcFlash.h"
#include "EcImagePlan.h"
#include "EcProgress.h"
#include "FinishRun.h"
#include "FlashRun.h"
#include "ImageCopy.h"
#include "RunLog.h"
#include "RunState.h"
#include "RunTrust.h"
#include "SaveRun.h"
#include "SignedImage.h"
#include "Smbios.h"
#include "VolumeFile.h"
#include "Ucs2.h"

#define START_PAUSE_US  1000000

//
// The longest product name a model check reads (SMBIOS strings may be up
// to 64 bytes by convention; a longer one is read whole or not at all).
//
#define PRODUCT_BYTES  256

/**
  Whether the machine is the product the image is for: its SMBIOS product
  name compared byte for byte with the model, without regard to the case
  of ASCII letters or to surrounding spaces. The model is ASCII, so a name
  with any other byte is never taken for it.

  @param[in] Model   The product named with -m or model=.

  @retval TRUE   The machine is that product.
**/
STATIC
BOOLEAN
IsModel (
  IN CONST CHAR16  *Model
  )
{
  CHAR8  Product[PRODUCT_BYTES];
  UINTN  Length;
  UINTN  Index;

  if (!ReadMachineProductBytes (Product, sizeof (Product), &Length)) {
    return FALSE;
  }

  while (*Model == u' ') {
    Model++;
  }

  if (StrLen (Model) < Length) {
    return FALSE;
  }

  for (Index = 0; Index < Length; Index++) {
    if ((static_cast<UINT8>(Product[Index]) >= 0x80) || (Model[Index] >= 0x80) ||
        (CharToUpper (Model[Index]) != CharToUpper (static_cast<CHAR16>(Product[Index]))))
    {
      return FALSE;
    }
  }

  for ( ; Model[Index] == u' '; Index++) {
  }

  return Model[Index] == 0;
}

/**
  Whether a run reads its image only after the pause and the keyboard's
  0xAD, as Morvane IMAGE always did: a run without options, of a raw
  image, in a Morvane that trusts no signer. Every other run has its image
  read and checked before any device.

  @param[in] Options   The options.

  @retval TRUE   The image is read in the device session.
**/
STATIC
BOOLEAN
ReadsImageLate (
  IN CONST MORVANE_OPTIONS  *Options
  )
{
  CONST UINT8  *Cert;
  UINTN        CertSize;

  return !Options->OwnOptions && !mImage.Loaded && !RunTrustedCert (&Cert, &CertSize) &&
         ((Options->ImagePath == NULL) || !FileLooksLikeCapsule (Options->ImagePath));
}

/**
  The checks that come before any device: the machine's model, the image
  path, a save file that must not exist, and the image, read into memory,
  with its CRC-32, then what it is (CheckImage).

  @param[in, out] Options   The options; the image path is resolved.

  @retval EFI_SUCCESS   The run may touch the devices.
  @return               The status the run ended with (its line is out).
**/
STATIC
EFI_STATUS
PreFlight (
  IN OUT MORVANE_OPTIONS  *Options
  )
{
  EFI_STATUS         Status;
  VOLUME_FILE  File;
  EC_IMAGE_PLAN      Plan;
  CHAR16             Product[PRODUCT_CHARS];
  BOOLEAN            Known;

  if (ReadsImageLate (Options)) {
    return EFI_SUCCESS;
  }

  Known = ReadMachineProduct (Product, ARRAY_SIZE (Product));
  if ((Options->Model != NULL) && (!Known || !IsModel (Options->Model))) {
    return EndRun (EFI_UNSUPPORTED, Ucs2 (u"This machine is %s; the image is for %s. Nothing was flashed.\r\n"), Product, Options->Model);
  }

  if ((Options->ImageName != NULL) && (Options->ImagePath == NULL) && !mImage.Loaded) {
    Status = (Options->ResolveImagePath != NULL) ? Options->ResolveImagePath (Options) : EFI_SUCCESS;
    if (Options->ImagePath == NULL) {
      return EFI_ERROR (Status) ? Status : EFI_INVALID_PARAMETER;
    }

    mRunRecord.Image = Options->ImagePath;
  }

  if ((Options->SavePath != NULL) && !EFI_ERROR (VolumeExists (Options->SavePath))) {
    return EndRun (EFI_ACCESS_DENIED, Ucs2 (u"%s already exists; a save never overwrites a file. Nothing was done.\r\n"), Options->SavePath);
  }

  //
  // A network-booted run has its image in memory already, fetched from
  // the depot; each attempt checks the whole file again.
  //
  if (mImage.Loaded) {
    ImageFromFile ();
    RecordImage ();
  } else if (Options->ImagePath == NULL) {
    return EFI_SUCCESS;
  } else {
    Status = LoadImage (Options->ImagePath, &File, &Plan);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    VolumeClose (&File);
  }

  //
  // An empty image would end as "already matches" or "finished" having
  // written nothing: never a success.
  //
  if (mRunRecord.ImageSize == 0) {
    return EndRun (EFI_INVALID_PARAMETER, Ucs2 (u"%s is empty; nothing was flashed.\r\n"), Options->ImageName);
  }

  //
  // The CRC-32 is the file's, as make plan prints it: a capsule's too.
  //
  if (Options->HasCrc && (mImage.FileCrc != Options->ExpectedCrc)) {
    return EndRun (
             EFI_COMPROMISED_DATA,
             Ucs2 (u"Image CRC-32 is %08X, expected %08X; nothing was flashed.\r\n"),
             mImage.FileCrc,
             Options->ExpectedCrc
             );
  }

  return CheckImage (Options);
}

/**
  The session's work between entering and leaving flash mode: the save
  (and its copy at the depot), then the mode's blocks: for a flash, the
  closing check and the version record before the finishing line.

  @param[in]  Options     The options.
  @param[in]  Planned     Blocks to save, flash or compare.
  @param[in]  StartTime   The start time.
  @param[out] Result      How it went.
**/
STATIC
VOID
RunModes (
  IN  CONST MORVANE_OPTIONS  *Options,
  IN  UINT32                 Planned,
  IN  CONST EFI_TIME         *StartTime,
  OUT RUN_RESULT             *Result
  )
{
  CONST UINT8  *Saved;
  UINT32       SavedBlocks;

  if ((Options->SavePath != NULL) || Options->SaveInMemory) {
    SaveBlocks (Options->SavePath, Planned, Result);
    if (Result->Ended) {
      return;
    }

    SendSaveToDepot (SaveCopy (&SavedBlocks), static_cast<UINTN>(Planned) * FLASH_BLOCK_SIZE, Result);
    if (Result->Ended) {
      return;
    }
  }

  switch (Options->Mode) {
    case ModeSave:
      EcProgress ()->LinesFollow (0);
      if (Options->SavePath == NULL) {
        Result->Status = EndRun (EFI_SUCCESS, Ucs2 (u"EC flash saved: %d blocks in memory.\r\n"), Planned);
      } else {
        Result->Status = EndRun (EFI_SUCCESS, Ucs2 (u"EC flash saved: %d blocks to %s.\r\n"), Planned, Options->SavePath);
      }

      Result->Ended = TRUE;
      break;
    case ModeVerify:
      VerifyBlocks (StartTime, Result);
      break;
    default:
      Saved = SaveCopy (&SavedBlocks);
      FlashBlocks (Options->Update, Saved, SavedBlocks, StartTime, Result);
      if (!Result->Ended) {
        CheckFlash (Options, Planned, Result);
      }

      if (!Result->Ended) {
        //
        // The EC now holds the capsule's payload, checked block by block
        // (or found equal by -u): the record may say so.
        //
        RecordFlashedVersion ();
        FinishFlash (Options, Planned, Result);
      }

      break;
  }
}

/**
  The device session: keyboard off, image open, flash mode, the save and the
  mode's blocks, the run's last line, then image closed, flash mode left and
  keyboard on.

  @param[in] Options     The options (image path resolved).
  @param[in] StartTime   The start time.

  @return The run's status.
**/
STATIC
EFI_STATUS
RunSession (
  IN CONST MORVANE_OPTIONS  *Options,
  IN CONST EFI_TIME         *StartTime
  )
{
  VOLUME_FILE  File;
  EC_IMAGE_PLAN      Plan;
  RUN_RESULT         Result;

  gBS->Stall (START_PAUSE_US);

  //
  // A real 8042 takes a command within microseconds; a machine without one
  // is told once, and the run goes on.
  //
  if (SendKbcCommand (KBC_CMD_DISABLE_KEYBOARD) == EFI_TIMEOUT) {
    ShowMessage (Ucs2 (u"The keyboard controller did not answer; going on without it.\r\n"));
  }

  //
  // A run with options has its image in memory already; the plain run
  // reads it here, between the keyboard bracket, as it always opened it.
  //
  File = NULL;
  ZeroMem (&Plan, sizeof (Plan));
  if ((Options->ImagePath != NULL) && !mImage.Loaded) {
    Result.Status = LoadImage (Options->ImagePath, &File, &Plan);
    if (EFI_ERROR (Result.Status)) {
      SendKbcCommand (KBC_CMD_ENABLE_KEYBOARD);
      return Result.Status;
    }
  } else if (mImage.Loaded) {
    EcPlanImage (mImage.Size, &Plan);
  } else {
    Plan.Blocks = Options->SaveBlocks;
  }

  mRunRecord.BlocksPlanned = Plan.Blocks;
  Result.Status            = EFI_SUCCESS;
  Result.Ended             = FALSE;
  //
  // Every session asks the EC afresh: one that stopped answering in an
  // earlier attempt may answer now, and a retry must reach it.
  //
  mEcLink = EcAnswering;
  EnterFlashMode ();
  ReadFlashId ();
  if (mEcLink != EcAnswering) {
    EndWithFailure (EFI_TIMEOUT, u"EC not answering at block %d.%s", &Result);
  } else {
    RunModes (Options, Plan.Blocks, StartTime, &Result);
  }

  if (File != NULL) {
    VolumeClose (&File);
  }

  ExitFlashMode ();
  SendKbcCommand (KBC_CMD_ENABLE_KEYBOARD);
  return Result.Status;
}

/**
  End a run whose catalogue decided without an image: nothing is read from
  or sent to the EC, the log and the depot keep the decision.

  @param[in] Options   The options.

  @return EFI_SUCCESS when the EC is up to date; EFI_NOT_FOUND when the
          catalogue has no image for this machine.
**/
STATIC
EFI_STATUS
EndWithoutImage (
  IN CONST MORVANE_OPTIONS  *Options
  )
{
  if (Options->CatalogVerdict == RunCatalogUpToDate) {
    mRunRecord.AtVersion = TRUE;
    mRunRecord.Version   = Options->CatalogVersion;
    return EndRun (
             EFI_SUCCESS,
             Ucs2 (u"The EC already has version 0x%08X, the newest the catalogue offers this machine; nothing was flashed.\r\n"),
             Options->CatalogVersion
             );
  }

  mRunRecord.NoImage = TRUE;
  return EndRun (EFI_NOT_FOUND, Ucs2 (u"The catalogue has no image for this machine. Nothing was changed.\r\n"));
}

EFI_STATUS
RunMorvane (
  IN OUT MORVANE_OPTIONS  *Options,
  IN     CONST EFI_TIME   *StartTime
  )
{
  EFI_STATUS  Status;

  ZeroMem (&mRunRecord, sizeof (mRunRecord));
  mRunRecord.Mode      = Options->Mode;
  mRunRecord.StartTime = *StartTime;
  mRunRecord.ErasedBefore = Options->ErasedBefore;
  mRunRecord.Image     = (Options->ImagePath != NULL) ? Options->ImagePath : Options->ImageName;

  //
  // The run's log line goes to the depot too, when the run has one.
  //
  SetRunLogSender (SendRunLogToDepot);
  Status = EFI_SUCCESS;
  if (Options->LogPath != NULL) {
    Status = OpenRunLog (Options->LogPath);
    if (EFI_ERROR (Status)) {
      ShowMessage (Ucs2 (u"The run log %s cannot be opened (%r); nothing was done.\r\n"), Options->LogPath, Status);
    }
  }

  if (!EFI_ERROR (Status) && (Options->DepotUrl != NULL)) {
    Status = StartDepot (Options->DepotUrl);
  }

  if (!EFI_ERROR (Status) && (Options->CatalogVerdict != RunFromImage)) {
    Status = EndWithoutImage (Options);
    EndDepot ();
    FreeOptions (Options);
    return Status;
  }

  if (!EFI_ERROR (Status)) {
    Status = PreFlight (Options);
  }

  if (!EFI_ERROR (Status)) {
    //
    // A reset in the middle of a flash must never come from a timer.
    //
    gBS->SetWatchdogTimer (0, 0, 0, NULL);
    Status = RunSession (Options, StartTime);
  }

  EndDepot ();
  FreeImageCopy ();
  FreeSaveCopy ();
  FreeOptions (Options);
  return Status;
}

BOOLEAN
RunEraseSent (
  VOID
  )
{
  return mRunRecord.EraseSent;
}

VOID
FreeOptions (
  IN OUT MORVANE_OPTIONS  *Options
  )
{
  CHAR16  **CONST  Strings[] = { &Options->ImageName, &Options->ImagePath, &Options->SavePath, &Options->LogPath, &Options->Model, &Options->DepotUrl };
  UINTN            Index;

  for (Index = 0; Index < ARRAY_SIZE (Strings); Index++) {
    if (*Strings[Index] != NULL) {
      FreePool (*Strings[Index]);
      *Strings[Index] = NULL;
    }
  }
}
