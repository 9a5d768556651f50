/** @file
  Morvane: rewrites the embedded controller's firmware, from the UEFI Shell
  or started by the firmware itself from a stick (see BootMode.h).

  Usage: Morvane [-v] [-c CRC32] [-s SAVEFILE] [-l LOGFILE] IMAGE
         Morvane -s SAVEFILE -n BLOCKS [-l LOGFILE]

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "BootMode.h"
#include "Morvane.h"

/**
  The application's entry point.

  @param[in] ImageHandle   The image handle: where a boot without a shell finds its volume.
  @param[in] SystemTable   The system table (unused; reached through gST).

  @retval EFI_SUCCESS   The image was flashed and verified (or verified
                        equal, or the EC flash saved), or nothing was asked
                        ("-?", no image name).
  @return               Otherwise the failure that ended the run.
**/
extern "C"
EFI_STATUS
EFIAPI
UefiMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS       Status;
  EFI_TIME         StartTime;
  MORVANE_OPTIONS  Options;
  BOOLEAN          Go;

  if (StartedByFirmware (ImageHandle)) {
    return RunBootMode (ImageHandle);
  }

  ZeroMem (&StartTime, sizeof (StartTime));
  DrawProgressScreen (&StartTime);

  Status = ReadCommandLine (&Options, &Go);
  if (!Go) {
    return Status;
  }

  if (Options.SavePath != NULL) {
    DrawSaveLabel ();
  }

  return RunMorvane (&Options, &StartTime);
}
