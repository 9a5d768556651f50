/** @file
  The end of a flash that went through every block: the closing check and
  the finishing line.

  The closing check reads every block of the image back once the last one
  is written. A block verifies right after it is written, yet a later write
  can still change it: a part smaller than the image ignores the high
  address bits, so block 2 of a 4-block image lands on block 0 of a 2-block
  part, and reads back fine through the same wrap. Only a pass over the
  whole image after the flash sees that. A capsule's flash always ends with
  it, options or not: only a flash that passed it may raise the machine's
  version record.

**/

extern "C" {
#include <Uefi.h>
}

#include "EcFlash.h"
#include "EcProgress.h"
#include "FinishRun.h"
#include "RunState.h"
#include "Ucs2.h"

/**
  Read every block of the image back and compare it with the image, and
  tell the progress of each block.

  @param[in]  Planned   Blocks of the image.
  @param[out] Result    Ended, with its line, when a block differs or the
                        EC stops answering.
**/
STATIC
VOID
CheckWholeFlash (
  IN  UINT32      Planned,
  OUT RUN_RESULT  *Result
  )
{
  UINT32      Block;
  UINT32      Differing;
  UINT32      First;
  BOOLEAN     Equal;
  EFI_STATUS  Status;

  EcProgress ()->CheckStarted ();
  Differing = 0;
  First     = 0;
  for (Block = 0; Block < Planned; Block++) {
    LoadImageBlock (Block);
    mBlockNumber = static_cast<UINT8>(Block);
    Status = ReadBackBlock ();
    if (Status == EFI_TIMEOUT) {
      EcProgress ()->LinesFollow (mRunRecord.BlocksDone);
      Result->Status = EndRun (EFI_TIMEOUT, Ucs2 (u"EC not answering at block %d.%s"), Block, FailureAdvice ());
      Result->Ended  = TRUE;
      return;
    }

    Equal = (Status == EFI_SUCCESS) && ReadBackMatchesImage ();
    EcProgress ()->Checked (Block, Equal);
    if (!Equal && (Differing++ == 0)) {
      First = Block;
    }
  }

  if (Differing > 0) {
    EcProgress ()->LinesFollow (mRunRecord.BlocksDone);
    Result->Status = EndRun (
                       EFI_END_OF_MEDIA,
                       Ucs2 (u"Block %d differs from the image after the flash (%d blocks differ); the image may be larger than the EC flash." FAILURE_ADVICE),
                       First,
                       Differing
                       );
    Result->Ended = TRUE;
  }
}

VOID
CheckFlash (
  IN  CONST MORVANE_OPTIONS  *Options,
  IN  UINT32                 Planned,
  OUT RUN_RESULT             *Result
  )
{
  if ((Options->OwnOptions || mRunRecord.Capsule) && (mRunRecord.BlocksChanged > 0)) {
    CheckWholeFlash (Planned, Result);
    if (Result->Ended) {
      return;
    }

    EcProgress ()->LinesFollow (mRunRecord.BlocksDone);
  }
}

VOID
FinishFlash (
  IN  CONST MORVANE_OPTIONS  *Options,
  IN  UINT32                 Planned,
  OUT RUN_RESULT             *Result
  )
{
  Result->Ended = TRUE;
  if (!Options->Update) {
    Result->Status = EndRun (EFI_SUCCESS, Ucs2 (u"Morvane finished, remove power and reboot.\r\n"));
  } else if (mRunRecord.BlocksChanged == 0) {
    Result->Status = EndRun (EFI_SUCCESS, Ucs2 (u"EC flash already matches the image; nothing was erased.\r\n"));
  } else {
    Result->Status = EndRun (
                       EFI_SUCCESS,
                       Ucs2 (u"Morvane finished: %d of %d blocks rewritten, remove power and reboot.\r\n"),
                       mRunRecord.BlocksChanged,
                       Planned
                       );
  }
}
