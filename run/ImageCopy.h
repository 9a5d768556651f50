/** @file
  The image step: the image file read whole into memory (mImage) before
  the EC's first byte, and released after the run.

**/

#ifndef MORVANE_IMAGE_COPY_H_
#define MORVANE_IMAGE_COPY_H_

extern "C" {
#include <Uefi.h>
}

#include "EcImagePlan.h"
#include "VolumeFile.h"

/**
  Open the image, check its size and read all of it into mImage, ending the
  run with its line when any of that fails.

  @param[in]  Path   The image.
  @param[out] File   The open image; NULL on failure (nothing left open).
  @param[out] Plan   What a flash of it writes.

  @return The status of the open, the size check or the read.
**/
EFI_STATUS
LoadImage (
  IN  CONST CHAR16   *Path,
  OUT VOLUME_FILE    *File,
  OUT EC_IMAGE_PLAN  *Plan
  );

/**
  Tell from the first bytes of a file whether it may be a capsule, without
  keeping it open. A file that cannot be read is not one: the run then
  opens it as it always did, and says why it cannot.

  @param[in] Path   The image.

  @retval TRUE   It starts as a capsule does.
**/
BOOLEAN
FileLooksLikeCapsule (
  IN CONST CHAR16  *Path
  );

/**
  Release mImage (a lent image stays lent).
**/
VOID
FreeImageCopy (
  VOID
  );

#endif
