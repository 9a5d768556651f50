/** @file
  Morvane started from the UEFI Shell: the progress screen, the command
  line and its refusals, the image path as the shell finds it, and the run.

    Morvane [-v | -u] [-c CRC32] [-m MODEL] [-s SAVEFILE] [-l LOGFILE] [-p URL] IMAGE
    Morvane -s SAVEFILE -n BLOCKS [-m MODEL] [-l LOGFILE] [-p URL]
    Morvane -i

**/

#ifndef MORVANE_COMMAND_LINE_H_
#define MORVANE_COMMAND_LINE_H_

extern "C" {
#include <Uefi.h>
}

#include "EcRun.h"

/**
  Read the command line. A plain "Morvane IMAGE" also resolves the image
  path here; with Morvane's own options the run resolves it once its log
  is open.

  @param[out] Options   What the command line asks for.
  @param[out] Go        TRUE when the run goes on; FALSE when it ends here.

  @return The status to end with, or the one the run continues from.
**/
EFI_STATUS
ReadCommandLine (
  OUT MORVANE_OPTIONS  *Options,
  OUT BOOLEAN          *Go
  );

/**
  Morvane -i: show the machine's hardware IDs (HardwareID-0 to -14) with the
  SMBIOS fields each is made of, as other tools list them, on a cleared
  screen, in lines under 80 columns. No device is touched.

  @retval EFI_SUCCESS   The IDs are shown.
  @return               They could not be computed (the screen says why).
**/
EFI_STATUS
ShowMachineIds (
  VOID
  );

/**
  Morvane as a shell command: draw the progress screen, read the command
  line and carry out the run it asks for.

  @retval EFI_SUCCESS   The image was flashed and verified (or verified
                        equal, or the EC flash saved), or nothing was asked
                        ("-?", no image name).
  @return               Otherwise the failure that ended the run.
**/
EFI_STATUS
RunShellCommand (
  VOID
  );

#endif
