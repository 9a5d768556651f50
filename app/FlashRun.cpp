/** @file
  The flash run: keyboard bracket, file, flash mode, the block loop with its
  progress marks and timing line, and the finishing sequence.

  A run that does not flash the whole image never tells the operator to
  remove power: it names what failed, says the EC flash is incomplete, and
  returns a failing status for scripts that test %lasterror%.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "EcFlash.h"
#include "Morvane.h"
#include "Ucs2.h"

#define START_PAUSE_US  1000000

//
// A last piece of the image whose first half holds fewer bytes than this is
// not flashed (block 0 excepted).
//
#define MIN_TAIL_SIZE  0x2000

//
// The block number sent to the EC is 8 bits wide.
//
#define MAX_BLOCKS      256
#define MAX_IMAGE_SIZE  (MAX_BLOCKS * (UINT64)FLASH_BLOCK_SIZE)

//
// Program-and-verify attempts on one block before the run gives up on it.
//
#define MAX_BLOCK_ATTEMPTS  8

typedef enum {
  RunComplete,
  RunReadFailed,
  RunBlockNeverVerified,
  RunEcSilent
} RUN_OUTCOME;

typedef struct {
  RUN_OUTCOME    Outcome;
  EFI_STATUS     Status;
  UINTN          Blocks;      ///< blocks flashed and verified
} RUN_RESULT;

STATIC CONST char16_t  mReadFailed[] = u"Failed to read file: %lx\n";

#define FAILURE_ADVICE  u" EC flash incomplete: keep power on, flash again.\r\n"

//
// The line that ends a failed run, by outcome; %d is the block.
//
STATIC CONST char16_t  *CONST  mFailureLines[] = {
  u"",
  u"File read failed at block %d." FAILURE_ADVICE,
  u"Block %d never verified." FAILURE_ADVICE,
  u"EC not answering at block %d." FAILURE_ADVICE
};

/**
  Print a progress mark for the current block.

  @param[in] Row   The Erase, Program or Verify row.
**/
STATIC
VOID
PrintMark (
  IN UINTN  Row
  )
{
  MoveTo (MARK_COLUMN + mBlockNumber, Row);
  Print (Ucs2 (u"."));
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

/**
  Print the timing line after a block.

  @param[in] Blocks      Blocks done so far.
  @param[in] StartTime   The start time.
**/
STATIC
VOID
PrintBlockLine (
  IN UINTN           Blocks,
  IN CONST EFI_TIME  *StartTime
  )
{
  EFI_TIME  Now;
  INT32     Elapsed;

  ZeroMem (&Now, sizeof (Now));
  gRT->GetTime (&Now, NULL);
  Elapsed = static_cast<INT32>(TimeToSeconds (&Now) - TimeToSeconds (StartTime));
  MoveTo (LABEL_COLUMN, BLOCK_LINE_ROW);
  Print (Ucs2 (u"Block Number: %d ----- %d second\r\n"), static_cast<UINT32>(Blocks), Elapsed);
}

/**
  Fill one half of the block from the file. Short reads are read on from,
  so that a file system that returns fewer bytes than asked mid-file cannot
  shift later data.

  @param[in]  File    The image file.
  @param[out] Half    HALF_BLOCK_SIZE bytes to fill.
  @param[out] Count   Bytes read: HALF_BLOCK_SIZE unless the file ended.

  @return The status of the failed read, or EFI_SUCCESS.
**/
STATIC
EFI_STATUS
ReadHalfBlock (
  IN  SHELL_FILE_HANDLE  File,
  OUT UINT8              *Half,
  OUT UINTN              *Count
  )
{
  EFI_STATUS  Status;
  UINTN       Size;

  *Count = 0;
  while (*Count < HALF_BLOCK_SIZE) {
    Size   = HALF_BLOCK_SIZE - *Count;
    Status = ShellReadFile (File, &Size, Half + *Count);
    if (EFI_ERROR (Status)) {
      Print (Ucs2 (mReadFailed), Status);
      return Status;
    }

    if (Size == 0) {
      break;
    }

    *Count += Size;
  }

  return EFI_SUCCESS;
}

/**
  Erase the current block and, unless it is blank, program and verify it,
  erasing again before every repeat.

  @retval EFI_SUCCESS        The block is flashed (or blank and erased).
  @retval EFI_DEVICE_ERROR   It did not verify in MAX_BLOCK_ATTEMPTS attempts.
  @retval EFI_TIMEOUT        The EC stopped answering.
**/
STATIC
EFI_STATUS
FlashBlock (
  VOID
  )
{
  PrintMark (ERASE_ROW);
  EraseBlock ();
  if (mEcLink != EcAnswering) {
    return EFI_TIMEOUT;
  }

  PrintMark (PROGRAM_ROW);
  if (!BlockHasData ()) {
    PrintMark (VERIFY_ROW);
    return EFI_SUCCESS;
  }

  mRetryCount = 0;
  while (!ProgramAndVerifyBlock ()) {
    if (mEcLink != EcAnswering) {
      return EFI_TIMEOUT;
    }

    mRetryCount++;
    if (mRetryCount == MAX_BLOCK_ATTEMPTS) {
      return EFI_DEVICE_ERROR;
    }

    EraseBlock ();
    if (mEcLink != EcAnswering) {
      return EFI_TIMEOUT;
    }
  }

  return EFI_SUCCESS;
}

/**
  Walk the image block by block.

  @param[in]  File        The open image.
  @param[in]  StartTime   The start time.
  @param[out] Result      What ended the loop.
**/
STATIC
VOID
FlashBlocks (
  IN  SHELL_FILE_HANDLE  File,
  IN  CONST EFI_TIME     *StartTime,
  OUT RUN_RESULT         *Result
  )
{
  UINTN  LowCount;
  UINTN  HighCount;

  mBlockNumber = 0;
  while (Result->Blocks < MAX_BLOCKS) {
    SetMem (mImageLow, HALF_BLOCK_SIZE, 0xFF);
    SetMem (mImageHigh, HALF_BLOCK_SIZE, 0xFF);
    SetMem (mReadBackLow, HALF_BLOCK_SIZE, 0xFF);
    SetMem (mReadBackHigh, HALF_BLOCK_SIZE, 0xFF);

    Result->Status = ReadHalfBlock (File, mImageLow, &LowCount);
    if (!EFI_ERROR (Result->Status)) {
      Result->Status = ReadHalfBlock (File, mImageHigh, &HighCount);
    }

    if (EFI_ERROR (Result->Status)) {
      Result->Outcome = RunReadFailed;
      return;
    }

    if (((LowCount < MIN_TAIL_SIZE) && (mBlockNumber != 0)) || (LowCount == 0)) {
      return;
    }

    Result->Status = FlashBlock ();
    if (EFI_ERROR (Result->Status)) {
      Result->Outcome = (Result->Status == EFI_TIMEOUT) ? RunEcSilent : RunBlockNeverVerified;
      return;
    }

    mBlockNumber++;
    Result->Blocks++;
    PrintBlockLine (Result->Blocks, StartTime);
  }
}

/**
  Put the cursor on a fresh row below everything the run has printed: the
  labels, the timing line once there is one, and any time-out messages.

  @param[in] Blocks   Blocks done so far.
**/
STATIC
VOID
MoveBelowOutput (
  IN UINTN  Blocks
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
  Print how the run ended: the finishing message, or the failure line.

  @param[in] Result   What ended the loop.
**/
STATIC
VOID
PrintOutcome (
  IN CONST RUN_RESULT  *Result
  )
{
  if (Result->Outcome == RunComplete) {
    Print (Ucs2 (u"Morvane finished, remove power and reboot.\r\n"));
    return;
  }

  MoveBelowOutput (Result->Blocks);
  Print (Ucs2 (mFailureLines[Result->Outcome]), static_cast<UINT32>(Result->Blocks));
}

/**
  Refuse an image that does not fit the EC flash before the EC sees a byte.

  @param[in] File   The open image.

  @retval EFI_SUCCESS           The image fits.
  @retval EFI_BAD_BUFFER_SIZE   It is larger than MAX_BLOCKS blocks.
  @return                       The status of a failed size query.
**/
STATIC
EFI_STATUS
CheckImageSize (
  IN SHELL_FILE_HANDLE  File
  )
{
  EFI_STATUS  Status;
  UINT64      Size;

  Size   = 0;
  Status = ShellGetFileSize (File, &Size);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (mReadFailed), Status);
    return Status;
  }

  if (Size > MAX_IMAGE_SIZE) {
    Print (Ucs2 (u"Image is larger than 16 MiB; nothing was flashed.\r\n"));
    return EFI_BAD_BUFFER_SIZE;
  }

  return EFI_SUCCESS;
}

/**
  Open the image for reading and check that it fits the EC flash.

  @param[in]  Path   The image path.
  @param[out] File   The open image; NULL on failure (nothing left open).

  @return The status of the open or of the size check.
**/
STATIC
EFI_STATUS
OpenImage (
  IN  CONST CHAR16       *Path,
  OUT SHELL_FILE_HANDLE  *File
  )
{
  EFI_STATUS  Status;

  Status = ShellOpenFileByName (Path, File, EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"Failed to open ourselves: %lx\n"), Status);
    *File = NULL;
    return Status;
  }

  Status = CheckImageSize (*File);
  if (EFI_ERROR (Status)) {
    ShellCloseFile (File);
  }

  return Status;
}

EFI_STATUS
RunFlash (
  IN CHAR16          *Path,
  IN CONST EFI_TIME  *StartTime
  )
{
  SHELL_FILE_HANDLE  File;
  RUN_RESULT         Result;

  gBS->Stall (START_PAUSE_US);
  SendKbcCommand (KBC_CMD_DISABLE_KEYBOARD);

  Result.Outcome = RunComplete;
  Result.Blocks  = 0;
  Result.Status  = OpenImage (Path, &File);
  if (EFI_ERROR (Result.Status)) {
    SendKbcCommand (KBC_CMD_ENABLE_KEYBOARD);
    FreePool (Path);
    return Result.Status;
  }

  EnterFlashMode ();
  ReadFlashId ();
  if (mEcLink != EcAnswering) {
    Result.Outcome = RunEcSilent;
    Result.Status  = EFI_TIMEOUT;
  } else {
    FlashBlocks (File, StartTime, &Result);
  }

  PrintOutcome (&Result);
  ShellCloseFile (&File);
  ExitFlashMode ();
  SendKbcCommand (KBC_CMD_ENABLE_KEYBOARD);
  FreePool (Path);
  return Result.Status;
}
