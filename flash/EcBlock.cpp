/** @file
  The block image and its program-and-verify procedure.

  A read-back byte that timed out never counts as verified, whatever its
  slot happens to hold: the attempt fails as on a mismatch.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcFlash.h"
#include "EcImagePlan.h"
#include "EcProgress.h"

UINT8   mImageLow[HALF_BLOCK_SIZE];
UINT8   mImageHigh[HALF_BLOCK_SIZE];
UINT8   mReadBackLow[HALF_BLOCK_SIZE];
UINT8   mReadBackHigh[HALF_BLOCK_SIZE];
UINT32  mRetryCount = 0;

BOOLEAN
BlockHasData (
  VOID
  )
{
  return !EcBlockIsBlank (mImageLow, HALF_BLOCK_SIZE) || !EcBlockIsBlank (mImageHigh, HALF_BLOCK_SIZE);
}

/**
  Stream one half of the block image as data bytes.

  @param[in] Half   The half to send.

  @retval EFI_SUCCESS   All sent.
  @retval EFI_TIMEOUT   The EC stopped taking bytes (mEcLink is updated).
**/
STATIC
EFI_STATUS
SendHalf (
  IN CONST UINT8  *Half
  )
{
  UINTN  Index;

  for (Index = 0; Index < HALF_BLOCK_SIZE; Index++) {
    if (SendEcData (Half[Index]) == EFI_TIMEOUT) {
      mEcLink = EcStoppedTaking;
      return EFI_TIMEOUT;
    }
  }

  return EFI_SUCCESS;
}

/**
  Read one half of the block back. Every byte of the stream is read, as the
  EC expects, unless the EC falls silent.

  @param[in]      Half        Receives the bytes.
  @param[in, out] Silence     Consecutive time-outs so far, carried across halves.
  @param[in, out] TimedOut    Set when any byte timed out.

  @retval EFI_SUCCESS   The half was read (some bytes may have timed out).
  @retval EFI_TIMEOUT   EC_READ_SILENCE_LIMIT time-outs in a row; mEcLink is updated.
**/
STATIC
EFI_STATUS
ReadHalf (
  OUT    UINT8    *Half,
  IN OUT UINT32   *Silence,
  IN OUT BOOLEAN  *TimedOut
  )
{
  UINTN  Index;

  for (Index = 0; Index < HALF_BLOCK_SIZE; Index++) {
    if (!EFI_ERROR (ReadEcData (&Half[Index]))) {
      *Silence = 0;
      continue;
    }

    *TimedOut = TRUE;
    if (++*Silence >= EC_READ_SILENCE_LIMIT) {
      mEcLink = EcStoppedTalking;
      return EFI_TIMEOUT;
    }
  }

  return EFI_SUCCESS;
}

EFI_STATUS
ReadBackBlock (
  VOID
  )
{
  UINT32   Silence;
  BOOLEAN  TimedOut;

  if (EFI_ERROR (StartReadBlock ())) {
    return EFI_TIMEOUT;
  }

  Silence  = 0;
  TimedOut = FALSE;
  if (EFI_ERROR (ReadHalf (mReadBackLow, &Silence, &TimedOut)) ||
      EFI_ERROR (ReadHalf (mReadBackHigh, &Silence, &TimedOut)))
  {
    return EFI_TIMEOUT;
  }

  return TimedOut ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

BOOLEAN
ReadBackMatchesImage (
  VOID
  )
{
  return (CompareMem (mImageLow, mReadBackLow, HALF_BLOCK_SIZE) == 0) &&
         (CompareMem (mImageHigh, mReadBackHigh, HALF_BLOCK_SIZE) == 0);
}

/**
  Program the block image and read it back.

  @retval TRUE   Every byte was sent and every byte read back in time.
**/
STATIC
BOOLEAN
ProgramAndReadBack (
  VOID
  )
{
  if (EFI_ERROR (StartProgramBlock ()) ||
      EFI_ERROR (SendHalf (mImageLow)) ||
      EFI_ERROR (SendHalf (mImageHigh)))
  {
    return FALSE;
  }

  return ReadBackBlock () == EFI_SUCCESS;
}

BOOLEAN
ProgramAndVerifyBlock (
  VOID
  )
{
  BOOLEAN  Verified;

  Verified = ProgramAndReadBack () && ReadBackMatchesImage ();
  EcProgress ()->Verified (mBlockNumber, Verified, mRetryCount);
  return Verified;
}
