/** @file
  The run's clock: whether a time read is a date, and the seconds since the
  run's start (its start time itself is read through EcRun.h).

**/

#ifndef MORVANE_RUN_CLOCK_H_
#define MORVANE_RUN_CLOCK_H_

extern "C" {
#include <Uefi.h>
}

/**
  Whether a time read from the clock is a real date and time: a clock that
  cannot be read leaves 0.0.0 (or garbage) behind.

  @param[in] Time   The time.

  @retval TRUE   It is a date and time.
**/
BOOLEAN
TimeIsKnown (
  IN CONST EFI_TIME  *Time
  );

/**
  Seconds from a start time to now, across hours, days and years.

  @param[in] StartTime   The start.

  @return The elapsed seconds (from 0.0.0 0:0:0 when the clock is unreadable).
**/
INT64
SecondsSince (
  IN CONST EFI_TIME  *StartTime
  );

#endif
