/** @file
  The progress screen: the text screen that both front ends draw, the
  shell command and the boot program, and its EC_PROGRESS, which draws the
  run's progress on it.

    row  5   Loop : 1
    row  7   Check   : a mark per block of the closing check ("o" or "x")
    row  8   the start time
    row  9   Save    : a "." per block saved
    row 10   Erase   : a "." per block, before its erase
    row 11   Program : a "." per block, once erased
    row 12   Verify  : "o", a retry mark, "=", "." (blank) or "x"
    row 13   messages
    row 14   Block Number: N ----- S second

  A block's mark stands in column 10 + its number; "EcObFull error" stands
  where the cursor is.

**/

#ifndef MORVANE_PROGRESS_SCREEN_H_
#define MORVANE_PROGRESS_SCREEN_H_

extern "C" {
#include <Uefi.h>
}

#include "EcProgress.h"

//
// Rows and columns of the progress screen.
//
#define LOOP_COLUMN        1
#define LOOP_ROW           5
#define CHECK_ROW          7
#define TIME_ROW           8
#define SAVE_ROW           9
#define LABEL_COLUMN       1
#define MESSAGE_ROW        13
#define BLOCK_LINE_ROW     14
#define TEXT_MODE          2

//
// Screen positions of the per-block marks: column 10 + block number.
//
#define MARK_COLUMN  10
#define ERASE_ROW    10
#define PROGRAM_ROW  11
#define VERIFY_ROW   12

/**
  Move the console cursor; a console that refuses the position is left as
  it is.

  @param[in] Column   The column.
  @param[in] Row      The row.
**/
VOID
MoveTo (
  IN UINTN  Column,
  IN UINTN  Row
  );

/**
  Clear the console and draw the progress screen's labels, the Loop line and
  the start time.

  @param[in] StartTime   The start time (all zero if unreadable).
**/
VOID
DrawProgressScreen (
  IN CONST EFI_TIME  *StartTime
  );

/**
  Draw the Save row's label, for a run that saves the EC flash, and put the
  cursor back on the message row.
**/
VOID
DrawSaveLabel (
  VOID
  );

/**
  The progress drawn on this screen, for EcProgressSet.

  @return The table.
**/
CONST EC_PROGRESS *
ProgressScreen (
  VOID
  );

#endif
