/** @file
  The depot step (-p): the run's name and running line at the depot, its
  save and its final line there, and the lines kept for a later chance.

**/

#ifndef MORVANE_DEPOT_RUN_H_
#define MORVANE_DEPOT_RUN_H_

extern "C" {
#include <Uefi.h>
}

#include "Depot.h"
#include "RunLog.h"
#include "RunState.h"

//
// Names drawn for one run before the depot is given up (a taken name draws
// again), and the bases one file may move through on a 409; lines that
// wait for the depot to answer again.
//
#define DEPOT_NAME_TRIES    32
#define DEPOT_PENDING_MAX   4

//
// One run's name at the depot.
//
typedef struct {
  EFI_TIME    Start;                            ///< the run's start time, in the name
  CHAR8       Day[DEPOT_DAY_CHARS + 1];
  CHAR8       Base[DEPOT_BASE_CHARS + 1];       ///< empty until the depot holds the run's .run
  CHAR8       Moved[DEPOT_BASE_CHARS + 1];      ///< the base the run left on a 409; empty if none
  CHAR8       Running[RUN_LOG_LINE_CHARS + 1];  ///< the running line, as the .run holds it
  UINTN       RunningLength;
} DEPOT_RUN_NAME;

//
// A final line the depot did not take yet.
//
typedef struct {
  DEPOT_RUN_NAME    Name;
  CONST CHAR8       *Verdict;                   ///< ".flashed.log" ...
  CHAR8             Line[RUN_LOG_LINE_CHARS + 1];
  UINTN             Length;
} DEPOT_PENDING_LINE;

//
// The depot's side of the runs of one program: the run's own name, and the
// lines kept for a later chance (all zero as the program is loaded).
//
typedef struct {
  BOOLEAN               Ready;                  ///< connected, the run's .run at the depot
  BOOLEAN               Deferred;               ///< an incomplete EC flashed without the depot
  CHAR16                Url[DEPOT_URL_CHARS + 1];
  DEPOT_RUN_NAME        Name;
  DEPOT_PENDING_LINE    Pending[DEPOT_PENDING_MAX];
  UINTN                 PendingCount;
} DEPOT_RUN_STATE;

extern DEPOT_RUN_STATE  mDepotRun;

/**
  Reach the depot and put the run's first log line there, marked running.
  A failure ends the run with its line, unless an earlier attempt left the
  EC incomplete: then the run goes on, and its lines wait to be sent.

  @param[in] Url   The depot's URL.

  @retval EFI_SUCCESS       The depot holds the running line, or the run
                            flashes an incomplete EC without it.
  @retval EFI_NO_RESPONSE   It cannot be reached (the line says why).
**/
EFI_STATUS
StartDepot (
  IN CONST CHAR16  *Url
  );

/**
  Put the run's final line at the depot beside its running line, named for
  the run's verdict; nothing without a depot. A failure is said on the
  screen; the run's status stays as it is. The run log's sender.

  @param[in] Status   The run's status.
  @param[in] Line     The line.
  @param[in] Length   Its length.
**/
VOID
SendRunLogToDepot (
  IN EFI_STATUS   Status,
  IN CONST CHAR8  *Line,
  IN UINTN        Length
  );

/**
  Put the save at the depot, when the run has one, before anything is
  erased, and read it back; nothing without a depot. The local copy stays,
  as it is good.

  @param[in]  Data     The save.
  @param[in]  Size     Its size.
  @param[out] Result   Ended, with its line, when the depot did not keep it.
**/
VOID
SendSaveToDepot (
  IN  CONST UINT8  *Data,
  IN  UINTN        Size,
  OUT RUN_RESULT   *Result
  );

/**
  Close the network as the run found it.
**/
VOID
EndDepot (
  VOID
  );

#endif
