/** @file
  The run's clock: its start time, and the seconds since then for the
  block line and the log. A machine's clock may not be readable at all.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "EcRun.h"
#include "RunClock.h"

VOID
ReadStartTime (
  OUT EFI_TIME  *StartTime
  )
{
  //
  // A clock that cannot be read leaves the time as 0.0.0, which every
  // later use takes for "unknown" (TimeIsKnown).
  //
  if (EFI_ERROR (gRT->GetTime (StartTime, NULL))) {
    ZeroMem (StartTime, sizeof (*StartTime));
  }
}

/**
  Seconds from a civil date-time to a fixed origin, so that differences hold
  across hour, midnight, month and year boundaries.

  @param[in] Time   The date and time.

  @return Seconds since 1 March of year 0 (proleptic Gregorian).
**/
STATIC
INT64
TimeToSeconds (
  IN CONST EFI_TIME  *Time
  )
{
  INT64  Year;
  INT64  Month;
  INT64  Days;

  //
  // Days from civil date, counting years from March so that the leap day
  // falls at the end of a year.
  //
  Year  = static_cast<INT64>(Time->Year) - ((Time->Month <= 2) ? 1 : 0);
  Month = (Time->Month + 9) % 12;
  Days  = 365 * Year + Year / 4 - Year / 100 + Year / 400 + (153 * Month + 2) / 5 + Time->Day - 1;
  return ((Days * 24 + Time->Hour) * 60 + Time->Minute) * 60 + Time->Second;
}

BOOLEAN
TimeIsKnown (
  IN CONST EFI_TIME  *Time
  )
{
  return (Time->Year >= 1900) && (Time->Year <= 9999) && (Time->Month >= 1) && (Time->Month <= 12) &&
         (Time->Day >= 1) && (Time->Day <= 31) && (Time->Hour < 24) && (Time->Minute < 60) && (Time->Second < 60);
}

INT64
SecondsSince (
  IN CONST EFI_TIME  *StartTime
  )
{
  EFI_TIME  Now;

  ZeroMem (&Now, sizeof (Now));
  gRT->GetTime (&Now, NULL);
  return TimeToSeconds (&Now) - TimeToSeconds (StartTime);
}
