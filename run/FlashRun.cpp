/** @file
  The flash run and the verify run: the block loop over the image in
  memory, with its progress for every block.

  With -u each block of the image is compared with the EC's block before
  anything is erased (from the save when the run made one, so the EC is
  read once); an equal block is neither erased nor programmed, which keeps
  an update short and the machine out of its can-brick state.

  A run that does not flash the whole image never tells the operator to
  remove power: it names what failed, says the EC flash is incomplete, and
  returns a failing status for scripts that test %lasterror%.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcFlash.h"
#include "EcImagePlan.h"
#include "EcProgress.h"
#include "FlashRun.h"
#include "RunClock.h"
#include "RunLog.h"
#include "Ucs2.h"

//
// Program-and-verify attempts on one block before the run gives up on it.
//
#define MAX_BLOCK_ATTEMPTS  8

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
  EcProgress ()->EraseStarted (mBlockNumber);
  mRunRecord.EraseSent = TRUE;
  mRunRecord.BlocksChanged++;
  EraseBlock ();
  if (mEcLink != EcAnswering) {
    return EFI_TIMEOUT;
  }

  EcProgress ()->Erased (mBlockNumber);
  if (!BlockHasData ()) {
    EcProgress ()->Blank (mBlockNumber);
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
  Tell whether the EC's block mBlockNumber already holds the block image:
  from the save when the run saved it, else read back from the EC. A byte
  that timed out is a difference.

  @param[in]  Saved         The save in memory; NULL without one.
  @param[in]  SavedBlocks   Blocks it holds.
  @param[out] Equal         TRUE when it does.

  @retval EFI_SUCCESS   Equal is set.
  @retval EFI_TIMEOUT   The EC stopped answering.
**/
STATIC
EFI_STATUS
BlockMatchesImage (
  IN  CONST UINT8  *Saved,
  IN  UINT32       SavedBlocks,
  OUT BOOLEAN      *Equal
  )
{
  CONST UINT8  *Block;
  EFI_STATUS   Status;

  if ((Saved != NULL) && (mBlockNumber < SavedBlocks)) {
    Block  = Saved + static_cast<UINTN>(mBlockNumber) * FLASH_BLOCK_SIZE;
    *Equal = (CompareMem (mImageLow, Block, HALF_BLOCK_SIZE) == 0) &&
             (CompareMem (mImageHigh, Block + HALF_BLOCK_SIZE, HALF_BLOCK_SIZE) == 0);
    return EFI_SUCCESS;
  }

  Status = ReadBackBlock ();
  if (Status == EFI_TIMEOUT) {
    return Status;
  }

  *Equal = (Status == EFI_SUCCESS) && ReadBackMatchesImage ();
  return EFI_SUCCESS;
}

VOID
FlashBlocks (
  IN  BOOLEAN         Update,
  IN  CONST UINT8     *Saved,
  IN  UINT32          SavedBlocks,
  IN  CONST EFI_TIME  *StartTime,
  OUT RUN_RESULT      *Result
  )
{
  EFI_STATUS  Status;
  BOOLEAN     Equal;

  mBlockNumber           = 0;
  mRunRecord.BlocksDone  = 0;
  while (LoadImageBlock (mRunRecord.BlocksDone)) {
    Equal  = FALSE;
    Status = Update ? BlockMatchesImage (Saved, SavedBlocks, &Equal) : EFI_SUCCESS;
    if (Equal) {
      EcProgress ()->Unchanged (mBlockNumber);
    } else if (!EFI_ERROR (Status)) {
      Status = FlashBlock ();
    }

    if (Status == EFI_TIMEOUT) {
      EndWithFailure (Status, u"EC not answering at block %d.%s", Result);
      return;
    }

    if (EFI_ERROR (Status)) {
      EndWithFailure (Status, u"Block %d never verified.%s", Result);
      return;
    }

    mBlockNumber++;
    mRunRecord.BlocksDone++;
    EcProgress ()->BlocksDone (mRunRecord.BlocksDone, SecondsSince (StartTime));
  }
}

VOID
VerifyBlocks (
  IN  CONST EFI_TIME  *StartTime,
  OUT RUN_RESULT      *Result
  )
{
  EFI_STATUS  Status;
  BOOLEAN     Equal;
  UINT32      Differing;
  UINT32      First;

  mBlockNumber          = 0;
  mRunRecord.BlocksDone = 0;
  Differing             = 0;
  First                 = 0;
  while (LoadImageBlock (mRunRecord.BlocksDone)) {
    Status = ReadBackBlock ();
    if (Status == EFI_TIMEOUT) {
      EndWithFailure (Status, u"EC not answering at block %d.%s", Result);
      return;
    }

    //
    // A byte that timed out is a difference: its slot holds nothing read.
    //
    Equal = (Status == EFI_SUCCESS) && ReadBackMatchesImage ();
    EcProgress ()->Compared (mBlockNumber, Equal);
    if (!Equal && (Differing++ == 0)) {
      First = mRunRecord.BlocksDone;
    }

    mBlockNumber++;
    mRunRecord.BlocksDone++;
    EcProgress ()->BlocksDone (mRunRecord.BlocksDone, SecondsSince (StartTime));
  }

  Result->Ended = TRUE;
  if (Differing == 0) {
    Result->Status = EndRun (EFI_SUCCESS, Ucs2 (u"EC flash matches the image.\r\n"));
  } else {
    Result->Status = EndRun (
                       EFI_CRC_ERROR,
                       Ucs2 (u"EC flash differs from the image in %d of %d blocks; first at block %d.\r\n"),
                       Differing,
                       mRunRecord.BlocksDone,
                       First
                       );
  }
}
