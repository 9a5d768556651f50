/** @file
  The image in memory: the whole file is read once, before the EC receives
  its first byte, and every block is flashed, verified and compared from
  that copy. A stick that fails or is pulled out half-way through a flash
  can then no longer leave the EC half-written, and the CRC-32 that was
  checked is the CRC-32 of the file whose bytes are flashed. Of a capsule,
  only its payload is flashed: the copy keeps the whole file (the signature
  covers it, -c checks it) and points at the part that goes to the EC.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
}

#include "Crc32.h"
#include "EcCapsule.h"
#include "EcFlash.h"
#include "ImageCopy.h"
#include "RunState.h"
#include "VolumeFile.h"
#include "Ucs2.h"

//
// Bytes read to tell a capsule from a raw image.
//
#define CAPSULE_HEAD_BYTES  16

/**
  Read the whole open image into pool memory and take its CRC-32.

  @param[in] File   The open image.
  @param[in] Size   Its size; at most MAX_IMAGE_SIZE.

  @retval EFI_SUCCESS            mImage holds the file.
  @retval EFI_OUT_OF_RESOURCES   No pool for it.
  @retval EFI_END_OF_FILE        The file ended before its size.
  @return                        The status of a failed read.
**/
STATIC
EFI_STATUS
ReadImageCopy (
  IN VOLUME_FILE  File,
  IN UINT64             Size
  )
{
  EFI_STATUS  Status;
  UINTN       Offset;
  UINTN       Asked;
  UINTN       Count;

  FreeImageCopy ();
  mImage.File = static_cast<UINT8 *>(AllocatePool ((Size > 0) ? static_cast<UINTN>(Size) : 1));
  if (mImage.File == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  //
  // A block at a time, so that a read that fails names no more than that.
  //
  for (Offset = 0; Offset < Size; Offset += Count) {
    Asked  = MIN (static_cast<UINTN>(Size) - Offset, static_cast<UINTN>(FLASH_BLOCK_SIZE));
    Status = ReadFull (File, mImage.File + Offset, Asked, &Count);
    if (!EFI_ERROR (Status) && (Count != Asked)) {
      Status = EFI_END_OF_FILE;
    }

    if (EFI_ERROR (Status)) {
      FreeImageCopy ();
      return Status;
    }
  }

  mImage.FileSize = Size;
  mImage.FileCrc  = Crc32Update (0, mImage.File, static_cast<UINTN>(Size));
  mImage.Loaded   = TRUE;
  ImageFromFile ();
  return EFI_SUCCESS;
}

VOID
LendImage (
  IN UINT8   *Data,
  IN UINT64  Size
  )
{
  FreeImageCopy ();
  mImage.File     = Data;
  mImage.FileSize = Size;
  mImage.FileCrc  = Crc32Update (0, Data, static_cast<UINTN>(Size));
  mImage.Loaded   = TRUE;
  mImage.Borrowed = TRUE;
  ImageFromFile ();
}

BOOLEAN
FileLooksLikeCapsule (
  IN CONST CHAR16  *Path
  )
{
  VOLUME_FILE  File;
  UINT8        Head[CAPSULE_HEAD_BYTES];
  UINTN        Count;
  EFI_STATUS   Status;

  if (EFI_ERROR (VolumeOpen (Path, &File, EFI_FILE_MODE_READ))) {
    return FALSE;
  }

  Status = ReadFull (File, Head, sizeof (Head), &Count);
  VolumeClose (&File);
  return !EFI_ERROR (Status) && EcCapsuleLooksLikeOne (Head, Count);
}

VOID
ReturnImage (
  VOID
  )
{
  ZeroMem (&mImage, sizeof (mImage));
}

EFI_STATUS
LoadImage (
  IN  CONST CHAR16       *Path,
  OUT VOLUME_FILE  *File,
  OUT EC_IMAGE_PLAN      *Plan
  )
{
  EFI_STATUS  Status;
  UINT64      Size;

  Status = VolumeOpen (Path, File, EFI_FILE_MODE_READ);
  if (EFI_ERROR (Status)) {
    *File = NULL;
    return EndRun (Status, Ucs2 (u"Failed to open ourselves: %lx\n"), Status);
  }

  Size   = 0;
  Status = VolumeGetSize (*File, &Size);
  EcPlanImage (Size, Plan);
  //
  // A capsule of a whole EC flash is its headers and signature larger than
  // 16 MiB; its payload is held to 16 MiB once it is taken apart.
  //
  if (!EFI_ERROR (Status) && Plan->TooLarge && (Size <= MAX_IMAGE_SIZE + EC_CAPSULE_HEADROOM) && FileLooksLikeCapsule (Path)) {
    Plan->TooLarge = FALSE;
  }

  if (EFI_ERROR (Status)) {
    EndRun (Status, Ucs2 (u"Failed to read file: %lx\n"), Status);
  } else if (Plan->TooLarge) {
    Status = EndRun (EFI_BAD_BUFFER_SIZE, Ucs2 (u"Image is larger than 16 MiB; nothing was flashed.\r\n"));
  } else {
    Status = ReadImageCopy (*File, Size);
    if (EFI_ERROR (Status)) {
      EndRun (Status, Ucs2 (u"Image could not be read (%r); nothing was flashed.\r\n"), Status);
    }
  }

  if (EFI_ERROR (Status)) {
    VolumeClose (File);
    *File = NULL;
    return Status;
  }

  RecordImage ();
  return EFI_SUCCESS;
}

VOID
FreeImageCopy (
  VOID
  )
{
  //
  // A lent image stays with its owner, for the next attempt.
  //
  if (mImage.Borrowed) {
    return;
  }

  if (mImage.File != NULL) {
    FreePool (mImage.File);
  }

  ZeroMem (&mImage, sizeof (mImage));
}
