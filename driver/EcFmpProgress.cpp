/** @file
  A flash's progress, reported to FmpDxe in whole percent.

  FmpDxe passes each report to the update tool's progress function (a bar
  on the screen; a watchdog re-armed where the platform sets one): a
  report per byte would slow a flash down, none for minutes would look
  like a hang. One report per whole percent gained, at most 101, does
  neither.

**/

extern "C" {
#include <Uefi.h>
}

#include "EcFmpDevice.h"

VOID
EcFmpProgressStart (
  OUT EC_FMP_PROGRESS                                *Progress,
  IN  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Report OPTIONAL
  )
{
  Progress->Report = Report;
  Progress->Shown  = 0;
  if (Report != NULL) {
    Report (0);
  }
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
