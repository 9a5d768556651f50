/** @file
  The flash step and the verify step: the block loop over mImage, with its
  progress for every block.

**/

#ifndef MORVANE_FLASH_RUN_H_
#define MORVANE_FLASH_RUN_H_

extern "C" {
#include <Uefi.h>
}

#include "RunState.h"

/**
  Flash mImage block by block; with Update, only the blocks whose EC
  contents differ from the image.

  @param[in]  Update        Compare each block first; rewrite only a difference.
  @param[in]  Saved         The save in memory, which a comparison reads
                            instead of the EC; NULL without one.
  @param[in]  SavedBlocks   Blocks it holds.
  @param[in]  StartTime     The start time.
  @param[out] Result        How it went; the last line is set unless it completed.
**/
VOID
FlashBlocks (
  IN  BOOLEAN         Update,
  IN  CONST UINT8     *Saved,
  IN  UINT32          SavedBlocks,
  IN  CONST EFI_TIME  *StartTime,
  OUT RUN_RESULT      *Result
  );

/**
  Compare the EC flash with mImage, block by block, without changing it,
  and end the run with the verdict.

  @param[in]  StartTime   The start time.
  @param[out] Result      How it went.
**/
VOID
VerifyBlocks (
  IN  CONST EFI_TIME  *StartTime,
  OUT RUN_RESULT      *Result
  );

#endif
