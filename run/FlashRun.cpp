/** @file
  The device session and the flash run: keyboard bracket, image file, flash
  mode, the block loop with its progress for every block, and the finishing
  sequence.

  A run that does not flash the whole image never tells the operator to
  remove power: it names what failed, says the EC flash is incomplete, and
  returns a failing status for scripts that test %lasterror%.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "EcFlash.h"
#include "EcImagePlan.h"
#include "EcProgress.h"
#include "RunInternal.h"
#include "VolumeFile.h"
#include "Ucs2.h"

#define START_PAUSE_US  1000000

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
  End the run with a failure line below everything printed so far.

  @param[in]  Status   The failing status.
  @param[in]  Format   The line; %d is the block, %s the advice.
  @param[out] Result   Takes the status.
**/
STATIC
VOID
EndWithFailure (
  IN  EFI_STATUS       Status,
  IN  CONST char16_t   *Format,
  OUT RUN_RESULT       *Result
  )
{
  EcProgress ()->LinesFollow (mRunRecord.BlocksDone);
  Result->Status = EndRun (Status, Ucs2 (Format), mRunRecord.BlocksDone, FailureAdvice ());
  Result->Ended  = TRUE;
}

BOOLEAN
EcMayBeChanged (
  VOID
  )
{
  return mRunRecord.EraseSent || mRunRecord.ErasedBefore;
}

CONST CHAR16 *
FailureAdvice (
  VOID
  )
{
  return EcMayBeChanged () ? Ucs2 (FAILURE_ADVICE) : Ucs2 (NOT_CHANGED);
}

VOID
FlashBlocks (
  IN  BOOLEAN            Update,
  IN  CONST EFI_TIME     *StartTime,
  OUT RUN_RESULT         *Result
  )
{
  EFI_STATUS  Status;
  BOOLEAN     Equal;

  mBlockNumber           = 0;
  mRunRecord.BlocksDone  = 0;
  while (LoadImageBlock (mRunRecord.BlocksDone)) {
    Equal  = FALSE;
    Status = Update ? BlockMatchesImage (&Equal) : EFI_SUCCESS;
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
  IN  CONST EFI_TIME     *StartTime,
  OUT RUN_RESULT         *Result
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

/**
  The session's work between entering and leaving flash mode: the save,
  then the mode's blocks.

  @param[in]  Options     The options.
  @param[in]  Planned     Blocks to save, flash or compare.
  @param[in]  StartTime   The start time.
  @param[out] Result      How it went.
**/
STATIC
VOID
RunModes (
  IN  CONST MORVANE_OPTIONS  *Options,
  IN  UINT32                 Planned,
  IN  CONST EFI_TIME         *StartTime,
  OUT RUN_RESULT             *Result
  )
{
  if ((Options->SavePath != NULL) || Options->SaveInMemory) {
    SaveBlocks (Options->SavePath, Planned, Result);
    if (Result->Ended) {
      return;
    }
  }

  switch (Options->Mode) {
    case ModeSave:
      EcProgress ()->LinesFollow (0);
      if (Options->SavePath == NULL) {
        Result->Status = EndRun (EFI_SUCCESS, Ucs2 (u"EC flash saved: %d blocks in memory.\r\n"), Planned);
      } else {
        Result->Status = EndRun (EFI_SUCCESS, Ucs2 (u"EC flash saved: %d blocks to %s.\r\n"), Planned, Options->SavePath);
      }

      Result->Ended  = TRUE;
      break;
    case ModeVerify:
      VerifyBlocks (StartTime, Result);
      break;
    default:
      FlashBlocks (Options->Update, StartTime, Result);
      if (!Result->Ended) {
        FinishFlash (Options, Planned, Result);
      }

      break;
  }
}

EFI_STATUS
RunSession (
  IN CONST MORVANE_OPTIONS  *Options,
  IN CONST EFI_TIME         *StartTime
  )
{
  VOLUME_FILE  File;
  EC_IMAGE_PLAN      Plan;
  RUN_RESULT         Result;

  gBS->Stall (START_PAUSE_US);

  //
  // A real 8042 takes a command within microseconds; a machine without one
  // is told once, and the run goes on.
  //
  if (SendKbcCommand (KBC_CMD_DISABLE_KEYBOARD) == EFI_TIMEOUT) {
    ShowMessage (Ucs2 (u"The keyboard controller did not answer; going on without it.\r\n"));
  }

  //
  // A run with options has its image in memory already; the plain run
  // reads it here, between the keyboard bracket, as it always opened it.
  //
  File = NULL;
  ZeroMem (&Plan, sizeof (Plan));
  if ((Options->ImagePath != NULL) && !mImage.Loaded) {
    Result.Status = LoadImage (Options->ImagePath, &File, &Plan);
    if (EFI_ERROR (Result.Status)) {
      SendKbcCommand (KBC_CMD_ENABLE_KEYBOARD);
      return Result.Status;
    }
  } else if (mImage.Loaded) {
    EcPlanImage (mImage.Size, &Plan);
  } else {
    Plan.Blocks = Options->SaveBlocks;
  }

  mRunRecord.BlocksPlanned = Plan.Blocks;
  Result.Status            = EFI_SUCCESS;
  Result.Ended             = FALSE;
  //
  // Every session asks the EC afresh: one that stopped answering in an
  // earlier attempt may answer now, and a retry must reach it.
  //
  mEcLink = EcAnswering;
  EnterFlashMode ();
  ReadFlashId ();
  if (mEcLink != EcAnswering) {
    EndWithFailure (EFI_TIMEOUT, u"EC not answering at block %d.%s", &Result);
  } else {
    RunModes (Options, Plan.Blocks, StartTime, &Result);
  }

  if (File != NULL) {
    VolumeClose (&File);
  }

  ExitFlashMode ();
  SendKbcCommand (KBC_CMD_ENABLE_KEYBOARD);
  return Result.Status;
}
