/** @file
  The port layer: handshakes, the output-buffer time-out and the bounded
  input-buffer waits.

**/

#include "HostTest.h"

#include "EcPort.h"

namespace {

std::pair<UINT64, UINT8>
Write (
  UINT64  Port,
  UINT8   Value
  )
{
  return { Port, Value };
}

class PortTest : public HostTest {
protected:
  void
  ScriptStatus (
    UINT64                    Port,
    std::vector<UINT8>        Values
    )
  {
    Fake::gState->Script[Port].assign (Values.begin (), Values.end ());
  }
};

// The rig itself: a wait that never ends fails its test at once, saying
// where it was, instead of holding the suite.
TEST_F (PortTest, EndlessLoopIsEndedByTheTestBudget) {
  Fake::gState->PortBudget = 1000;

  try {
    for (;;) {
      CpuIoRead8 (EC_COMMAND_PORT);
    }
  } catch (const Fake::BudgetSpent &Spent) {
    EXPECT_NE (std::string (Spent.what ()).find ("read of port 0x66"), std::string::npos) << Spent.what ();
  }

  EXPECT_EQ (Fake::gState->PortAccesses, 1001u);
}

TEST_F (PortTest, CommandIsWrittenOnceAfterIbfClears) {
  ScriptStatus (EC_COMMAND_PORT, { 0x02, 0x02, 0x02, 0x00 });

  EXPECT_EQ (SendEcCommand (0xDC), EFI_SUCCESS);

  ASSERT_EQ (Fake::gState->Writes.size (), 1u);
  EXPECT_EQ (Fake::gState->Writes[0], Write (0x66, 0xDC));
  EXPECT_EQ (Fake::gState->ReadsOf[0x66], 4u);
  EXPECT_EQ (Fake::gState->StallCalls, 0u) << "a ready EC is served by the spin alone";
}

TEST_F (PortTest, DataWaitsOnTheStatusPortAndWritesTheDataPort) {
  ScriptStatus (EC_COMMAND_PORT, { 0x02, 0x00 });

  EXPECT_EQ (SendEcData (0x5A), EFI_SUCCESS);

  ASSERT_EQ (Fake::gState->Writes.size (), 1u);
  EXPECT_EQ (Fake::gState->Writes[0], Write (0x62, 0x5A));
  EXPECT_EQ (Fake::gState->ReadsOf[0x66], 2u);
  EXPECT_EQ (Fake::gState->ReadsOf[0x62], 0u);
}

TEST_F (PortTest, KeyboardCommandWaitsOnTheKeyboardController) {
  ScriptStatus (KBC_COMMAND_PORT, { 0x02, 0x00 });

  EXPECT_EQ (SendKbcCommand (0xAD), EFI_SUCCESS);

  EXPECT_EQ (Fake::gState->Writes.at (0), Write (0x64, 0xAD));
  EXPECT_EQ (Fake::gState->ReadsOf[0x66], 0u);
  EXPECT_FALSE (Sim->KeyboardEnabled);
}

TEST_F (PortTest, OutputReadyAtOnceNeedsNoStall) {
  ScriptStatus (EC_COMMAND_PORT, { 0x01 });
  ScriptStatus (EC_DATA_PORT, { 0x42 });
  UINT8  Byte = 0;

  EXPECT_EQ (ReadEcData (&Byte), EFI_SUCCESS);

  EXPECT_EQ (Byte, 0x42);
  EXPECT_TRUE (mEcOutputReady);
  EXPECT_EQ (Fake::gState->StallCalls, 0u);
}

TEST_F (PortTest, OutputOnThe501stReadIsStillReady) {
  std::vector<UINT8>  Status (500, 0x00);

  Status.push_back (0x01);
  ScriptStatus (EC_COMMAND_PORT, Status);
  ScriptStatus (EC_DATA_PORT, { 0x77 });
  UINT8  Byte = 0;

  EXPECT_EQ (ReadEcData (&Byte), EFI_SUCCESS);

  EXPECT_EQ (Byte, 0x77);
  EXPECT_EQ (Fake::gState->StallCalls, 500u);
  EXPECT_EQ (Fake::gState->ClockUs, 5000u);
  EXPECT_EQ (Printed (), "");
}

TEST_F (PortTest, OutputTimeOutPrintsOncePerReadAndLeavesTheByte) {
  Sim->Faults.ObfAfterBytes = 0;
  UINT8  Byte = 0x3C;

  EXPECT_EQ (ReadEcData (&Byte), EFI_DEVICE_ERROR);
  EXPECT_EQ (Printed (), "EcObFull error");
  EXPECT_EQ (ReadEcData (&Byte), EFI_DEVICE_ERROR);

  EXPECT_EQ (Printed (), "EcObFull errorEcObFull error");
  EXPECT_EQ (Byte, 0x3C);
  EXPECT_FALSE (mEcOutputReady);
  EXPECT_EQ (Fake::gState->ReadsOf[0x66], 2 * 501u);
  EXPECT_EQ (Fake::gState->ReadsOf[0x62], 0u);
}

TEST_F (PortTest, FailedLookupReadsZeroAndReturnsItsStatus) {
  Fake::gState->LocateFails = TRUE;

  EXPECT_EQ (CpuIoRead8 (0x66), 0);
  EXPECT_EQ (CpuIoWrite8 (0x66, 0xDC), EFI_NOT_FOUND);
  EXPECT_TRUE (Fake::gState->Writes.empty ());
}

TEST_F (PortTest, EveryAccessLocatesTheProtocolAfresh) {
  CpuIoRead8 (0x66);
  CpuIoWrite8 (0x66, 0xDC);
  CpuIoRead8 (0x62);

  EXPECT_EQ (Fake::gState->Locates, 3u);
}

// A device that never takes a byte: the wait gives up after its bound,
// and the byte is not written.
TEST_F (PortTest, StuckInputBufferTimesOutWithoutWriting) {
  Sim->Faults.StuckAfterBytes = 0;

  EXPECT_EQ (SendEcCommand (0xDC), EFI_TIMEOUT);
  EXPECT_EQ (SendEcData (0x00), EFI_TIMEOUT);

  EXPECT_TRUE (Fake::gState->Writes.empty ());
  EXPECT_EQ (Fake::gState->ClockUs, 2 * static_cast<UINT64>(EC_IBF_TIMEOUT_US));
}

TEST_F (PortTest, AbsentDeviceTimesOutToo) {
  Sim->Faults.NoDevice = TRUE;

  EXPECT_EQ (SendEcCommand (0xDC), EFI_TIMEOUT);
  EXPECT_LE (Fake::gState->ClockUs, 10000000u);
}

TEST_F (PortTest, StuckKeyboardControllerTimesOut) {
  ScriptStatus (KBC_COMMAND_PORT, std::vector<UINT8>(EC_IBF_SPIN_LIMIT + EC_IBF_TIMEOUT_US / EC_IBF_POLL_STALL_US, 0x02));

  EXPECT_EQ (SendKbcCommand (0xAE), EFI_TIMEOUT);
  EXPECT_TRUE (Fake::gState->Writes.empty ());
}

// A slow erase: IBF stays set well past the stall-free spin, for about
// 2 s of polling; the next byte still goes through.
TEST_F (PortTest, SlowEcIsWaitedFor) {
  Sim->Faults.EraseBusyReads = EC_IBF_SPIN_LIMIT + 20000;
  for (UINT8 Byte : { 0xDC, 0x01, 0xD8, 0x00, 0x00, 0x00 }) {
    ASSERT_EQ (SendEcCommand (Byte), EFI_SUCCESS);
  }

  EXPECT_EQ (SendEcCommand (0xFE), EFI_SUCCESS);

  EXPECT_EQ (Fake::gState->ClockUs, 20001u * EC_IBF_POLL_STALL_US) << "the 20,001st poll sees IBF clear";
  EXPECT_EQ (Sim->Counters.Violations, 0u);
  EXPECT_FALSE (Sim->FlashMode);
}

}  // namespace
