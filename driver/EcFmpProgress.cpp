/** @file
  A flash's progress, reported to FmpDxe in whole percent.

  FmpDxe passes each report to the update tool's progress function (a bar
  on the screen; a watchdog re-armed where the platform sets one): a
  report per byte would slow a flash down, none for minutes would look
  like a hang. One report per whole percent gained, at most 100, does
  neither.

  A run's work is its blocks twice over, and one step more: the flash
  (each block compared, and rewritten when it differs), the closing check
  that reads every block back, and the run's success. Counting the check
  keeps the bar from standing full for the half minute a 16 MiB image's
  takes; keeping the last step for the end keeps 100 for an update that
  succeeded, whatever the check found.

**/

extern "C" {
#include <Uefi.h>
#include <Library/DebugLib.h>
}

#include "EcFmpDevice.h"
#include "EcProgress.h"

//
// The run being followed, for the progress table's entries, which take no
// context.
//
STATIC EC_FMP_PROGRESS  mRunProgress = { NULL, 0 };
STATIC UINT32           mRunBlocks   = 0;

VOID
EcFmpProgressStart (
  OUT EC_FMP_PROGRESS                                *Progress,
  IN  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Report OPTIONAL
  )
{
  Progress->Report = Report;
  Progress->Shown  = 0;
}

VOID
EcFmpProgressBlocks (
  IN OUT EC_FMP_PROGRESS  *Progress,
  IN     UINTN            Done,
  IN     UINTN            Total
  )
{
  UINTN  Percent;

  Percent = ((Total == 0) || (Done >= Total)) ? 100 : (Done * 100) / Total;
  if ((Progress->Report != NULL) && (Percent > Progress->Shown)) {
    Progress->Shown = Percent;
    // A failing display is no reason to stop a flash half-way.
    Progress->Report (Percent);
  }
}

/**
  The steps of the run followed: its blocks flashed, its blocks checked,
  and its end.
**/
STATIC
UINTN
RunSteps (
  VOID
  )
{
  return 2 * static_cast<UINTN>(mRunBlocks) + 1;
}

/**
  Blocks of the flash done: the first half of the run's work.
**/
STATIC
VOID
EFIAPI
RunBlocksDone (
  IN UINT32  Blocks,
  IN INT64   Seconds
  )
{
  EcFmpProgressBlocks (&mRunProgress, Blocks, RunSteps ());
}

/**
  A block of the closing check done: the second half.
**/
STATIC
VOID
EFIAPI
RunBlockChecked (
  IN UINT32   Block,
  IN BOOLEAN  Equal
  )
{
  EcFmpProgressBlocks (&mRunProgress, static_cast<UINTN>(mRunBlocks) + Block + 1, RunSteps ());
}

/**
  The run's lines: a driver has no screen, so they go to the firmware's
  debug log (none in a release build).
**/
STATIC
VOID
EFIAPI
RunLine (
  IN CONST CHAR16  *Line
  )
{
  DEBUG ((DEBUG_INFO, "EcFmp: %s", Line));
}

STATIC CONST EC_PROGRESS  mRunTable = {
  NULL,               // EraseStarted
  NULL,               // Erased
  NULL,               // Blank
  NULL,               // Verified
  NULL,               // Unchanged
  NULL,               // Compared
  NULL,               // CheckStarted
  RunBlockChecked,    // Checked
  NULL,               // Saved
  RunBlocksDone,      // BlocksDone
  NULL,               // LinesFollow
  RunLine,            // Show
  NULL                // NoByte
};

VOID
EcFmpProgressFollowRun (
  IN EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Report OPTIONAL,
  IN UINT32                                         Blocks
  )
{
  EcFmpProgressStart (&mRunProgress, Report);
  mRunBlocks = Blocks;
  EcProgressSet (&mRunTable);
}

VOID
EcFmpProgressEndRun (
  IN BOOLEAN  Completed
  )
{
  if (Completed) {
    EcFmpProgressBlocks (&mRunProgress, 1, 1);
  }

  EcProgressSet (NULL);
  EcFmpProgressStart (&mRunProgress, NULL);
}
