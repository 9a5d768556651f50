/** @file
  The signed-image step: what the image in memory is (a raw image, or a
  capsule with its signature, machine and version) before any device, and
  the version a flashed capsule leaves in the machine's version record.

**/

#ifndef MORVANE_SIGNED_IMAGE_H_
#define MORVANE_SIGNED_IMAGE_H_

extern "C" {
#include <Uefi.h>
}

#include "EcRun.h"

/**
  Check the image in memory before any device is touched: with a built-in
  certificate only a capsule signed under it passes; any capsule must be
  well-formed, for this machine (its hardware IDs) and, for a flash, not
  below the lowest version the machine's version record allows. A capsule
  that passes leaves its payload as the image; the run's line ends the run
  on a refusal.

  @param[in] Options   The options.

  @retval EFI_SUCCESS   The image may be used.
  @return               The status the run ended with (its line is out).
**/
EFI_STATUS
CheckImage (
  IN CONST MORVANE_OPTIONS  *Options
  );

/**
  Keep a flashed capsule's version in the machine's version record, the
  lowest supported version never going down; nothing for a raw image or a
  capsule whose signature was not verified. A failure is said on the
  screen; the run's status stays as it is.
**/
VOID
RecordFlashedVersion (
  VOID
  );

#endif
