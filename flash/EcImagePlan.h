/** @file
  Which blocks of an image file a flash writes: the rules of the block loop
  in one pure place, compiled by Morvane and by the host planner alike.

  The image is flashed from byte 0 in 64 KiB blocks while the file lasts.
  A last piece whose first half holds fewer than MIN_TAIL_SIZE bytes is not
  flashed, except in block 0, where any non-zero amount is. The EC's block
  number is 8 bits wide: at most MAX_BLOCKS blocks.

**/

#ifndef MORVANE_EC_IMAGE_PLAN_H_
#define MORVANE_EC_IMAGE_PLAN_H_

extern "C" {
#include <Base.h>
}

#define PLAN_HALF_BLOCK_SIZE  0x8000
#define PLAN_BLOCK_SIZE       0x10000
#define MIN_TAIL_SIZE         0x2000
#define MAX_BLOCKS            256
#define MAX_IMAGE_SIZE        (MAX_BLOCKS * (UINT64)PLAN_BLOCK_SIZE)

typedef struct {
  BOOLEAN    TooLarge;       ///< more than MAX_IMAGE_SIZE bytes: refused whole
  UINT32     Blocks;         ///< blocks a flash writes
  UINT64     LeftOutOffset;  ///< first byte not flashed (the file size when none is left out)
  UINT64     LeftOutBytes;   ///< bytes past the last flashed block
} EC_IMAGE_PLAN;

/**
  Tell whether a block is flashed, given the bytes the file put into its
  first half.

  @param[in] Block            The block number, from 0.
  @param[in] FirstHalfBytes   Bytes of the file in the block's first half.

  @retval TRUE    The block is flashed.
  @retval FALSE   The file has ended for the flash: this block and all after it are left out.
**/
BOOLEAN
EcBlockIsFlashed (
  IN UINT64  Block,
  IN UINT64  FirstHalfBytes
  );

/**
  Tell whether a block holds nothing but erased bytes: such a block is
  erased and not programmed. Bytes past the end of the file count as 0xFF.

  @param[in] Bytes   The block's bytes from the file.
  @param[in] Count   Their count (up to a block).

  @retval TRUE   Every byte is 0xFF.
**/
BOOLEAN
EcBlockIsBlank (
  IN CONST UINT8  *Bytes,
  IN UINTN        Count
  );

/**
  Plan the flash of an image file of a given size.

  @param[in]  Size   The file size in bytes.
  @param[out] Plan   What a flash of it writes.
**/
VOID
EcPlanImage (
  IN  UINT64         Size,
  OUT EC_IMAGE_PLAN  *Plan
  );

#endif
