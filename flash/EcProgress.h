/** @file
  How a run's progress leaves the engine: one table of functions, set by
  the front end, called by the flash engine and the run as things happen.
  Neither of them draws: the progress screen is one implementation of the
  table (both the shell command and the boot program use it); a driver
  with no text screen gives its own, or none.

  Blocks are numbered from 0. Until a front end sets a table, and for every
  entry it leaves NULL, nothing is shown.

**/

#ifndef MORVANE_EC_PROGRESS_H_
#define MORVANE_EC_PROGRESS_H_

extern "C" {
#include <Uefi.h>
}

#include "EcPort.h"

/**
  Something happened to a block.

  @param[in] Block   The block.
**/
typedef
VOID
(EFIAPI *EC_PROGRESS_BLOCK)(
  IN UINT32  Block
  );

/**
  A program-and-verify attempt on a block ended.

  @param[in] Block      The block.
  @param[in] Verified   Every byte read back equals the image.
  @param[in] Retry      Failed attempts on this block before this one.
**/
typedef
VOID
(EFIAPI *EC_PROGRESS_ATTEMPT)(
  IN UINT32   Block,
  IN BOOLEAN  Verified,
  IN UINT32   Retry
  );

/**
  A block of the EC flash was compared with the image.

  @param[in] Block   The block.
  @param[in] Equal   It holds the image's block.
**/
typedef
VOID
(EFIAPI *EC_PROGRESS_COMPARISON)(
  IN UINT32   Block,
  IN BOOLEAN  Equal
  );

/**
  Blocks done so far, and the time since the run started.

  @param[in] Blocks    Blocks done.
  @param[in] Seconds   Seconds since the start.
**/
typedef
VOID
(EFIAPI *EC_PROGRESS_BLOCKS_DONE)(
  IN UINT32  Blocks,
  IN INT64   Seconds
  );

/**
  The run's last lines follow.

  @param[in] Blocks   Blocks done so far: what the progress has shown.
**/
typedef
VOID
(EFIAPI *EC_PROGRESS_LINES_FOLLOW)(
  IN UINT32  Blocks
  );

/**
  A line for the operator, with its line end.

  @param[in] Line   The line.
**/
typedef
VOID
(EFIAPI *EC_PROGRESS_SHOW)(
  IN CONST CHAR16  *Line
  );

/**
  The closing check begins.
**/
typedef
VOID
(EFIAPI *EC_PROGRESS_NOTICE)(
  VOID
  );

typedef struct {
  EC_PROGRESS_BLOCK           EraseStarted;   ///< an erase of the block is sent next
  EC_PROGRESS_BLOCK           Erased;         ///< the erase is done; the block is programmed next, unless blank
  EC_PROGRESS_BLOCK           Blank;          ///< the block holds only 0xFF: erased, nothing programmed
  EC_PROGRESS_ATTEMPT         Verified;       ///< a program-and-verify attempt ended
  EC_PROGRESS_BLOCK           Unchanged;      ///< an update found the block equal: neither erased nor programmed
  EC_PROGRESS_COMPARISON      Compared;       ///< a verify-only run compared the block
  EC_PROGRESS_NOTICE          CheckStarted;   ///< the closing check, after a flash, begins
  EC_PROGRESS_COMPARISON      Checked;        ///< the closing check compared the block
  EC_PROGRESS_BLOCK           Saved;          ///< the block is in the save
  EC_PROGRESS_BLOCKS_DONE     BlocksDone;     ///< after each block of a flash or a verify
  EC_PROGRESS_LINES_FOLLOW    LinesFollow;    ///< before the last line of a run that reached the EC
  EC_PROGRESS_SHOW            Show;           ///< the run's last line, and every other message
  EC_OBF_TIMEOUT_HOOK         NoByte;         ///< the EC presented no byte in time (EC_OBF_POLL_LIMIT polls)
} EC_PROGRESS;

/**
  Take the progress from now on to Progress; the port layer's time-outs
  included. Entries left NULL show nothing.

  @param[in] Progress   The table (copied), or NULL to show nothing.
**/
VOID
EcProgressSet (
  IN CONST EC_PROGRESS  *Progress
  );

/**
  The progress as set, every entry callable.

  @return The table in use.
**/
CONST EC_PROGRESS *
EcProgress (
  VOID
  );

#endif
