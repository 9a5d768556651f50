/** @file
  The run's lines: its messages and last line on the screen, and its line
  in the run log, the local file's and the one a sender (the depot) takes.
  EndRun itself is the front ends' too: EcRun.h.

**/

#ifndef MORVANE_RUN_LOG_H_
#define MORVANE_RUN_LOG_H_

extern "C" {
#include <Uefi.h>
}

#include "RunState.h"

//
// The longest line of the run log.
//
#define RUN_LOG_LINE_CHARS  640

/**
  Where the run's log line goes besides the local log: the depot's side,
  which the run's sequence names, so that the log knows no step.

  @param[in] Status   The run's status.
  @param[in] Line     The line.
  @param[in] Length   Its length.
**/
typedef
VOID
(*RUN_LOG_SENDER)(
  IN EFI_STATUS   Status,
  IN CONST CHAR8  *Line,
  IN UINTN        Length
  );

/**
  Name where the run's log line goes besides the local log, for every run
  from now on.

  @param[in] Sender   The sender; NULL: the local log alone.
**/
VOID
SetRunLogSender (
  IN RUN_LOG_SENDER  Sender
  );

/**
  Show a message of the run that is not its last line, formatted as Print
  formats it.

  @param[in] Format   The message, with its line end.
  @param[in] ...      Its arguments.
**/
VOID
EFIAPI
ShowMessage (
  IN CONST CHAR16  *Format,
  ...
  );

/**
  End the run with a failure line below everything printed so far.

  @param[in]  Status   The failing status.
  @param[in]  Format   The line; %d is the block, %s the advice.
  @param[out] Result   Takes the status.
**/
VOID
EndWithFailure (
  IN  EFI_STATUS      Status,
  IN  CONST char16_t  *Format,
  OUT RUN_RESULT      *Result
  );

/**
  Open the run log for appending.

  @param[in] Path   The log file; created when missing.

  @return The status of the open (and of the seek to its end).
**/
EFI_STATUS
OpenRunLog (
  IN CONST CHAR16  *Path
  );

/**
  Write the run's line to the log and close it, and hand it to the sender;
  nothing without either. A failure is said on the screen; the run's status
  stays as it is.

  @param[in] Status    The run's status.
  @param[in] Outcome   The run's last screen line, without its line end.
**/
VOID
WriteRunLog (
  IN EFI_STATUS    Status,
  IN CONST CHAR16  *Outcome
  );

/**
  Format the run's log line as ASCII.

  @param[in]  Status      The run's status.
  @param[in]  Running     The run has not ended: status=running.
  @param[in]  Outcome     The run's last screen line.
  @param[out] Ascii       Receives the line with its line end.
  @param[in]  AsciiSize   Its size in bytes.

  @return The line's length.
**/
UINTN
FormatRunLogLine (
  IN  EFI_STATUS    Status,
  IN  BOOLEAN       Running,
  IN  CONST CHAR16  *Outcome,
  OUT CHAR8         *Ascii,
  IN  UINTN         AsciiSize
  );

#endif
