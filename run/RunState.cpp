/** @file
  What the run's steps share: the run record, the image in memory and the
  block of it that goes to the EC next, and what the EC is left as.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "Crc32.h"
#include "EcFlash.h"
#include "EcImagePlan.h"
#include "RunState.h"
#include "Ucs2.h"

IMAGE_COPY  mImage = { NULL, 0, 0, NULL, 0, 0, FALSE, FALSE };
RUN_RECORD  mRunRecord;

VOID
RecordImage (
  VOID
  )
{
  mRunRecord.ImageKnown = TRUE;
  mRunRecord.ImageSize  = mImage.Size;
  mRunRecord.ImageCrc   = mImage.Crc;
}

VOID
ImageFromFile (
  VOID
  )
{
  mImage.Data = mImage.File;
  mImage.Size = mImage.FileSize;
  mImage.Crc  = mImage.FileCrc;
}

VOID
ImageFromPayload (
  IN CONST UINT8  *Payload,
  IN UINTN        Size
  )
{
  mImage.Data = Payload;
  mImage.Size = Size;
  mImage.Crc  = Crc32Update (0, Payload, Size);
}

BOOLEAN
LoadImageBlock (
  IN UINT32  Block
  )
{
  UINT64  Offset;
  UINTN   Low;
  UINTN   High;

  SetMem (mImageLow, HALF_BLOCK_SIZE, 0xFF);
  SetMem (mImageHigh, HALF_BLOCK_SIZE, 0xFF);
  SetMem (mReadBackLow, HALF_BLOCK_SIZE, 0xFF);
  SetMem (mReadBackHigh, HALF_BLOCK_SIZE, 0xFF);

  Offset = static_cast<UINT64>(Block) * FLASH_BLOCK_SIZE;
  Low    = 0;
  High   = 0;
  if (Offset < mImage.Size) {
    Low  = static_cast<UINTN>(MIN (mImage.Size - Offset, static_cast<UINT64>(HALF_BLOCK_SIZE)));
    CopyMem (mImageLow, mImage.Data + Offset, Low);
  }

  if (Offset + HALF_BLOCK_SIZE < mImage.Size) {
    High = static_cast<UINTN>(MIN (mImage.Size - Offset - HALF_BLOCK_SIZE, static_cast<UINT64>(HALF_BLOCK_SIZE)));
    CopyMem (mImageHigh, mImage.Data + Offset + HALF_BLOCK_SIZE, High);
  }

  return (Block < MAX_BLOCKS) && EcBlockIsFlashed (Block, Low);
}

BOOLEAN
EcMayBeChanged (
  VOID
  )
{
  return mRunRecord.EraseSent || mRunRecord.ErasedBefore;
}

CONST CHAR16 *
FailureAdvice (
  VOID
  )
{
  return EcMayBeChanged () ? Ucs2 (FAILURE_ADVICE) : Ucs2 (NOT_CHANGED);
}
