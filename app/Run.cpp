/** @file
  A run's pre-flight: the run log, the image path, the save file and the
  image's CRC-32, all before any device is touched; then the watchdog off
  and the device session.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#include "Crc32.h"
#include "EcFlash.h"
#include "Morvane.h"
#include "Ucs2.h"

EFI_STATUS
MeasureImage (
  IN  CONST CHAR16  *Path,
  OUT UINT64        *Size,
  OUT UINT32        *Crc
  )
{
  EFI_STATUS         Status;
  SHELL_FILE_HANDLE  File;
  UINTN              Read;

  *Size  = 0;
  *Crc   = 0;
  Status = ShellOpenFileByName (Path, &File, EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // The block buffers are free until the session starts.
  //
  do {
    Read   = HALF_BLOCK_SIZE;
    Status = ShellReadFile (File, &Read, mImageLow);
    if (!EFI_ERROR (Status)) {
      *Crc   = Crc32Update (*Crc, mImageLow, Read);
      *Size += Read;
    }
  } while (!EFI_ERROR (Status) && Read > 0);

  ShellCloseFile (&File);
  return Status;
}

/**
  The checks of a run with options that come before any device: the image
  path, a save file that must not exist, and the image's CRC-32.

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
  EFI_STATUS  Status;

  if ((Options->ImageName != NULL) && (Options->ImagePath == NULL)) {
    Status = ResolveImagePath (Options);
    if (Options->ImagePath == NULL) {
      return EFI_ERROR (Status) ? Status : EFI_INVALID_PARAMETER;
    }

    mRunRecord.Image = Options->ImagePath;
  }

  if ((Options->SavePath != NULL) && !EFI_ERROR (ShellFileExists (Options->SavePath))) {
    return EndRun (EFI_ACCESS_DENIED, Ucs2 (u"%s already exists; a save never overwrites a file. Nothing was done.\r\n"), Options->SavePath);
  }

  if ((Options->ImagePath == NULL) || (!Options->HasCrc && (Options->LogPath == NULL))) {
    return EFI_SUCCESS;
  }

  Status = MeasureImage (Options->ImagePath, &mRunRecord.ImageSize, &mRunRecord.ImageCrc);
  if (EFI_ERROR (Status)) {
    return EndRun (Status, Ucs2 (u"Image could not be read (%r); nothing was flashed.\r\n"), Status);
  }

  mRunRecord.ImageKnown = TRUE;
  if (Options->HasCrc && (mRunRecord.ImageCrc != Options->ExpectedCrc)) {
    return EndRun (
             EFI_COMPROMISED_DATA,
             Ucs2 (u"Image CRC-32 is %08X, expected %08X; nothing was flashed.\r\n"),
             mRunRecord.ImageCrc,
             Options->ExpectedCrc
             );
  }

  return EFI_SUCCESS;
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
  mRunRecord.Image     = (Options->ImagePath != NULL) ? Options->ImagePath : Options->ImageName;

  Status = EFI_SUCCESS;
  if (Options->LogPath != NULL) {
    Status = OpenRunLog (Options->LogPath);
    if (EFI_ERROR (Status)) {
      Print (Ucs2 (u"The run log %s cannot be opened (%r); nothing was done.\r\n"), Options->LogPath, Status);
    }
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

  FreeOptions (Options);
  return Status;
}
