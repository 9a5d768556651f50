/** @file
  Morvane started from the UEFI Shell: the progress screen first, then the
  command line, then the run.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "CommandLine.h"
#include "EcProgress.h"
#include "EcRun.h"
#include "ProgressScreen.h"

EFI_STATUS
RunShellCommand (
  VOID
  )
{
  EFI_STATUS       Status;
  EFI_TIME         StartTime;
  MORVANE_OPTIONS  Options;
  BOOLEAN          Go;

  EcProgressSet (ProgressScreen ());
  ZeroMem (&StartTime, sizeof (StartTime));
  ReadStartTime (&StartTime);
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
