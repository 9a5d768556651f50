/** @file
  Morvane: rewrites the embedded controller's firmware, from the UEFI Shell
  (see CommandLine.h) or started by the firmware itself from a stick or a
  depot (see BootMode.h).

  Usage: Morvane [-v] [-c CRC32] [-s SAVEFILE] [-l LOGFILE] IMAGE
         Morvane -s SAVEFILE -n BLOCKS [-l LOGFILE]

**/

extern "C" {
#include <Uefi.h>
}

#include "BootMode.h"
#include "CommandLine.h"

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
  if (StartedByFirmware (ImageHandle)) {
    return RunBootMode (ImageHandle);
  }

  return RunShellCommand ();
}
