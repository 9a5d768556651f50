/** @file
  The progress screen: its labels, the Loop line and the start time, and
  the run's progress drawn on it (EC_PROGRESS): a mark per block on the
  Save, Check, Erase, Program and Verify rows, the block line, and the
  run's messages below them.

  Both front ends draw it, the shell command and the boot program. Only
  the screen touches the console: the engine and the run tell it what
  happened.

**/

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#include "EcProgress.h"
#include "ProgressScreen.h"
#include "Ucs2.h"

STATIC UINT32  mLoopCount = 0;

STATIC CONST char16_t  *CONST  mLabels[] = {
  u"Erase   :\n",
  u"Program :\n",
  u"Verify  :\n"
};

#define FIRST_LABEL_ROW  10

//
// Failure marks start below the printable range: 0x1F after the first
// failed attempt, then a space, then "!", ...
//
#define RETRY_MARK_BASE  0x1F

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
  IN CONST EFI_TIME  *StartTime
  )
{
  UINTN  Index;

  mLoopCount = 1;
  gST->ConOut->SetMode (gST->ConOut, TEXT_MODE);
  gST->ConOut->ClearScreen (gST->ConOut);

  MoveTo (LOOP_COLUMN, LOOP_ROW);
  Print (Ucs2 (u"Loop : %d "), mLoopCount);

  MoveTo (LABEL_COLUMN, TIME_ROW);
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
  Mark a block on a progress row.

  @param[in] Block   The block.
  @param[in] Row     The row.
  @param[in] Mark    The mark.
**/
STATIC
VOID
PrintBlockMark (
  IN UINT32          Block,
  IN UINTN           Row,
  IN CONST char16_t  *Mark
  )
{
  MoveTo (MARK_COLUMN + Block, Row);
  Print (Ucs2 (Mark));
}

STATIC
VOID
EFIAPI
ShowEraseStarted (
  IN UINT32  Block
  )
{
  PrintBlockMark (Block, ERASE_ROW, u".");
}

STATIC
VOID
EFIAPI
ShowErased (
  IN UINT32  Block
  )
{
  PrintBlockMark (Block, PROGRAM_ROW, u".");
}

STATIC
VOID
EFIAPI
ShowBlank (
  IN UINT32  Block
  )
{
  PrintBlockMark (Block, VERIFY_ROW, u".");
}

/**
  The Verify mark of an attempt: "o", or the character Retry + 0x1F.
**/
STATIC
VOID
EFIAPI
ShowVerified (
  IN UINT32   Block,
  IN BOOLEAN  Verified,
  IN UINT32   Retry
  )
{
  MoveTo (MARK_COLUMN + Block, VERIFY_ROW);
  if (Verified) {
    Print (Ucs2 (u"o"));
  } else {
    Print (Ucs2 (u"%c"), static_cast<UINTN>(Retry + RETRY_MARK_BASE));
  }
}

STATIC
VOID
EFIAPI
ShowUnchanged (
  IN UINT32  Block
  )
{
  PrintBlockMark (Block, VERIFY_ROW, u"=");
}

STATIC
VOID
EFIAPI
ShowCompared (
  IN UINT32   Block,
  IN BOOLEAN  Equal
  )
{
  PrintBlockMark (Block, VERIFY_ROW, Equal ? u"o" : u"x");
}

STATIC
VOID
EFIAPI
ShowCheckStarted (
  VOID
  )
{
  MoveTo (LABEL_COLUMN, CHECK_ROW);
  Print (Ucs2 (u"Check   :"));
}

STATIC
VOID
EFIAPI
ShowChecked (
  IN UINT32   Block,
  IN BOOLEAN  Equal
  )
{
  PrintBlockMark (Block, CHECK_ROW, Equal ? u"o" : u"x");
}

STATIC
VOID
EFIAPI
ShowSaved (
  IN UINT32  Block
  )
{
  PrintBlockMark (Block, SAVE_ROW, u".");
}

/**
  The timing line after a block.
**/
STATIC
VOID
EFIAPI
ShowBlocksDone (
  IN UINT32  Blocks,
  IN INT64   Seconds
  )
{
  INT32  Elapsed;

  Elapsed = static_cast<INT32>(Seconds);
  MoveTo (LABEL_COLUMN, BLOCK_LINE_ROW);
  Print (Ucs2 (u"Block Number: %d ----- %d second\r\n"), Blocks, Elapsed);
}

/**
  Put the cursor on a fresh row below everything the run has printed.
**/
STATIC
VOID
EFIAPI
MoveBelowOutput (
  IN UINT32  Blocks
  )
{
  UINTN  Row;

  Row = gST->ConOut->Mode->CursorRow;
  if (gST->ConOut->Mode->CursorColumn != 0) {
    Row++;
  }

  MoveTo (0, MAX (Row, static_cast<UINTN>((Blocks > 0) ? BLOCK_LINE_ROW + 1 : MESSAGE_ROW)));
}

/**
  A line where the cursor stands.
**/
STATIC
VOID
EFIAPI
ShowLine (
  IN CONST CHAR16  *Line
  )
{
  Print (Ucs2 (u"%s"), Line);
}

/**
  A byte the EC did not present, where the cursor stands.
**/
STATIC
VOID
EFIAPI
ShowNoByte (
  VOID
  )
{
  Print (Ucs2 (u"EcObFull error"));
}

STATIC CONST EC_PROGRESS  mProgressScreen = {
  ShowEraseStarted,
  ShowErased,
  ShowBlank,
  ShowVerified,
  ShowUnchanged,
  ShowCompared,
  ShowCheckStarted,
  ShowChecked,
  ShowSaved,
  ShowBlocksDone,
  MoveBelowOutput,
  ShowLine,
  ShowNoByte
};

CONST EC_PROGRESS *
ProgressScreen (
  VOID
  )
{
  return &mProgressScreen;
}
