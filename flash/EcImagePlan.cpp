/** @file
  The block rules of an image file.

**/

#include "EcImagePlan.h"

BOOLEAN
EcBlockIsFlashed (
  IN UINT64  Block,
  IN UINT64  FirstHalfBytes
  )
{
  if (FirstHalfBytes == 0) {
    return FALSE;
  }

  return (Block == 0) || (FirstHalfBytes >= MIN_TAIL_SIZE);
}

BOOLEAN
EcBlockIsBlank (
  IN CONST UINT8  *Bytes,
  IN UINTN        Count
  )
{
  UINTN  Index;

  for (Index = 0; Index < Count; Index++) {
    if (Bytes[Index] != 0xFF) {
      return FALSE;
    }
  }

  return TRUE;
}

VOID
EcPlanImage (
  IN  UINT64         Size,
  OUT EC_IMAGE_PLAN  *Plan
  )
{
  UINT64  Block;
  UINT64  Start;
  UINT64  FirstHalf;

  Plan->TooLarge = (Size > MAX_IMAGE_SIZE);
  Plan->Blocks   = 0;
  if (Plan->TooLarge) {
    Plan->LeftOutOffset = 0;
    Plan->LeftOutBytes  = Size;
    return;
  }

  for (Block = 0; Block < MAX_BLOCKS; Block++) {
    Start     = Block * PLAN_BLOCK_SIZE;
    FirstHalf = (Size > Start) ? MIN (Size - Start, static_cast<UINT64>(PLAN_HALF_BLOCK_SIZE)) : 0;
    if (!EcBlockIsFlashed (Block, FirstHalf)) {
      break;
    }

    Plan->Blocks++;
  }

  Plan->LeftOutOffset = MIN (Size, static_cast<UINT64>(Plan->Blocks) * PLAN_BLOCK_SIZE);
  Plan->LeftOutBytes  = Size - Plan->LeftOutOffset;
}
