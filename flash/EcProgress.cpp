/** @file
  The progress in use: the front end's table, with every entry it leaves
  NULL (and every entry before it sets one) showing nothing, so that the
  engine and the run call each entry without a check.

**/

extern "C" {
#include <Uefi.h>
}

#include "EcProgress.h"

STATIC
VOID
EFIAPI
SilentBlock (
  IN UINT32  Block
  )
{
}

STATIC
VOID
EFIAPI
SilentAttempt (
  IN UINT32   Block,
  IN BOOLEAN  Verified,
  IN UINT32   Retry
  )
{
}

STATIC
VOID
EFIAPI
SilentComparison (
  IN UINT32   Block,
  IN BOOLEAN  Equal
  )
{
}

STATIC
VOID
EFIAPI
SilentBlocksDone (
  IN UINT32  Blocks,
  IN INT64   Seconds
  )
{
}

STATIC
VOID
EFIAPI
SilentLinesFollow (
  IN UINT32  Blocks
  )
{
}

STATIC
VOID
EFIAPI
SilentShow (
  IN CONST CHAR16  *Line
  )
{
}

STATIC
VOID
EFIAPI
SilentNotice (
  VOID
  )
{
}

//
// constexpr, so that the copy below is made by the compiler: no constructor
// runs on firmware.
//
STATIC constexpr EC_PROGRESS  mSilent = {
  SilentBlock,
  SilentBlock,
  SilentBlock,
  SilentAttempt,
  SilentBlock,
  SilentComparison,
  SilentNotice,
  SilentComparison,
  SilentBlock,
  SilentBlocksDone,
  SilentLinesFollow,
  SilentShow,
  SilentNotice
};

STATIC EC_PROGRESS  mProgress = mSilent;

VOID
EcProgressSet (
  IN CONST EC_PROGRESS  *Progress
  )
{
  CONST EC_PROGRESS  &Given = (Progress != NULL) ? *Progress : mSilent;

  mProgress.EraseStarted = (Given.EraseStarted != NULL) ? Given.EraseStarted : mSilent.EraseStarted;
  mProgress.Erased       = (Given.Erased != NULL) ? Given.Erased : mSilent.Erased;
  mProgress.Blank        = (Given.Blank != NULL) ? Given.Blank : mSilent.Blank;
  mProgress.Verified     = (Given.Verified != NULL) ? Given.Verified : mSilent.Verified;
  mProgress.Unchanged    = (Given.Unchanged != NULL) ? Given.Unchanged : mSilent.Unchanged;
  mProgress.Compared     = (Given.Compared != NULL) ? Given.Compared : mSilent.Compared;
  mProgress.CheckStarted = (Given.CheckStarted != NULL) ? Given.CheckStarted : mSilent.CheckStarted;
  mProgress.Checked      = (Given.Checked != NULL) ? Given.Checked : mSilent.Checked;
  mProgress.Saved        = (Given.Saved != NULL) ? Given.Saved : mSilent.Saved;
  mProgress.BlocksDone   = (Given.BlocksDone != NULL) ? Given.BlocksDone : mSilent.BlocksDone;
  mProgress.LinesFollow  = (Given.LinesFollow != NULL) ? Given.LinesFollow : mSilent.LinesFollow;
  mProgress.Show         = (Given.Show != NULL) ? Given.Show : mSilent.Show;
  mProgress.NoByte       = (Given.NoByte != NULL) ? Given.NoByte : mSilent.NoByte;
  EcPortSetObfTimeoutHook (mProgress.NoByte);
}

CONST EC_PROGRESS *
EcProgress (
  VOID
  )
{
  return &mProgress;
}
