/** @file
  Start-up: the progress screen and the start time.

  Nothing here touches a device.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "Morvane.h"
#include "Ucs2.h"

UINT32  mLoopCount = 0;

STATIC CONST char16_t  *CONST  mLabels[] = {
  u"Erase   :\n",
  u"Program :\n",
  u"Verify  :\n"
};

#define FIRST_LABEL_ROW  10

VOID
MoveTo (
  IN UINTN  Column,
  IN UINTN  Row
  )
{
  gST->ConOut->SetCursorPosition (gST->ConOut, Column, Row);
}

VOID
DrawProgressScreen (
  OUT EFI_TIME  *StartTime
  )
{
  UINTN  Index;

  mLoopCount = 1;
  gST->ConOut->SetMode (gST->ConOut, TEXT_MODE);
  gST->ConOut->ClearScreen (gST->ConOut);

  MoveTo (LOOP_COLUMN, LOOP_ROW);
  Print (Ucs2 (u"Loop : %d "), mLoopCount);

  MoveTo (LABEL_COLUMN, TIME_ROW);
  //
  // A clock that cannot be read leaves the time as 0.0.0, which every
  // later use takes for "unknown" (TimeIsKnown).
  //
  if (EFI_ERROR (gRT->GetTime (StartTime, NULL))) {
    ZeroMem (StartTime, sizeof (*StartTime));
  }

  Print (
    Ucs2 (u"%d.%d.%d %d:%d:%d\n"),
    StartTime->Year,
    StartTime->Month,
    StartTime->Day,
    StartTime->Hour,
    StartTime->Minute,
    StartTime->Second
    );

  for (Index = 0; Index < ARRAY_SIZE (mLabels); Index++) {
    MoveTo (LABEL_COLUMN, FIRST_LABEL_ROW + Index);
    Print (Ucs2 (mLabels[Index]));
  }
}

VOID
DrawSaveLabel (
  VOID
  )
{
  MoveTo (LABEL_COLUMN, SAVE_ROW);
  Print (Ucs2 (u"Save    :"));
  MoveTo (0, MESSAGE_ROW);
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
