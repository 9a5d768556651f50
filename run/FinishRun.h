/** @file
  The finishing step of a flash: the closing check of the whole EC flash,
  and the finishing line.

**/

#ifndef MORVANE_FINISH_RUN_H_
#define MORVANE_FINISH_RUN_H_

extern "C" {
#include <Uefi.h>
}

#include "EcRun.h"
#include "RunState.h"

/**
  The closing check of a flash that went through every block, when the run
  asked for more than a plain flash and erased something.

  @param[in]  Options   The options.
  @param[in]  Planned   Blocks of the image.
  @param[out] Result    Ended, with its line, when a block differs or the
                        EC stops answering.
**/
VOID
CheckFlash (
  IN  CONST MORVANE_OPTIONS  *Options,
  IN  UINT32                 Planned,
  OUT RUN_RESULT             *Result
  );

/**
  End a flash that went through every block (and its closing check) with
  the finishing line.

  @param[in]  Options   The options.
  @param[in]  Planned   Blocks of the image.
  @param[out] Result    How it went.
**/
VOID
FinishFlash (
  IN  CONST MORVANE_OPTIONS  *Options,
  IN  UINT32                 Planned,
  OUT RUN_RESULT             *Result
  );

#endif
