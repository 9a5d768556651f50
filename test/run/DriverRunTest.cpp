/** @file
  A run as a driver starts it: no shell, no command line, no progress set,
  the image lent in memory and the save kept there.

**/

#include "RunTest.h"

#include <algorithm>

#include "EcProgress.h"
#include "EcRun.h"

namespace {

using DriverRunTest = RunTest;

// An update with its save, a block that verifies only on its second
// attempt, a byte that comes late and the closing check: every kind of
// progress happens, and none of it reaches the console.
TEST_F (DriverRunTest, WithoutAProgressTheRunDrawsNothing) {
  auto             Image   = RandomImage (3 * 0x10000);
  MORVANE_OPTIONS  Options = {};
  EFI_TIME         Start   = {};

  EcProgressSet (nullptr);
  Sim->Faults.CorruptBlock    = 1;
  Sim->Faults.CorruptAttempts = 1;
  Sim->Faults.LateByte        = 1 + 3 * 0x10000 + 5;   // the ID, the save, then block 0's read-back
  Sim->Faults.LateReads       = EC_SIM_HOST_WAIT_READS + 100;
  Options.Mode         = ModeFlash;
  Options.OwnOptions   = TRUE;
  Options.Update       = TRUE;
  Options.SaveInMemory = TRUE;
  LendImage (Image.data (), Image.size ());

  EXPECT_EQ (RunMorvane (&Options, &Start), EFI_SUCCESS);
  ReturnImage ();

  EXPECT_TRUE (RunEraseSent ());
  EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
  EXPECT_EQ (Fake::Find ("print"), std::string::npos) << Printed ();
  EXPECT_EQ (Fake::gState->Clears, 0u);
  EXPECT_EQ (gST->ConOut->Mode->CursorColumn + gST->ConOut->Mode->CursorRow, 0);
  EXPECT_TRUE (Fake::gState->Files.empty ());
  EXPECT_TRUE (Fake::gState->Live.empty ());
}

}  // namespace
