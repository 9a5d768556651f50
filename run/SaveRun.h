/** @file
  The save step (-s, and a save kept in memory): the EC flash read into
  memory, written to its file and checked there.

**/

#ifndef MORVANE_SAVE_RUN_H_
#define MORVANE_SAVE_RUN_H_

extern "C" {
#include <Uefi.h>
}

#include "RunState.h"

/**
  Save the first Blocks blocks of the EC flash to a new file and check the
  copy through the file system. On any failure the run ends (the EC was not
  changed) and the partial file is removed.

  @param[in]  Path     The save file; it must not exist. NULL: the save is
                       kept in memory only.
  @param[in]  Blocks   How many blocks, from block 0.
  @param[out] Result   How it went.
**/
VOID
SaveBlocks (
  IN  CONST CHAR16  *Path,
  IN  UINT32        Blocks,
  OUT RUN_RESULT    *Result
  );

/**
  The save in memory, as the EC gave it, block after block.

  @param[out] Blocks   Receives how many blocks it holds; 0 without a save.

  @return Its first byte; NULL when nothing was kept.
**/
CONST UINT8 *
SaveCopy (
  OUT UINT32  *Blocks
  );

/**
  Release the save kept in memory.
**/
VOID
FreeSaveCopy (
  VOID
  );

#endif
