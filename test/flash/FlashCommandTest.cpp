/** @file
  The flash command set: the exact bytes of each sequence, and an EC that
  stops taking bytes.

**/

#include "HostTest.h"

#include "EcFlash.h"

namespace {

using Bytes = std::vector<UINT8>;

class FlashCommandTest : public HostTest {
protected:
  void
  SetUp (
    ) override
  {
    HostTest::SetUp ();
    EnterFlashMode ();
    Fake::gState->Writes.clear ();
  }

  Bytes
  WrittenTo (
    UINT64  Port
    ) const
  {
    Bytes  Out;

    for (const auto &W : Fake::gState->Writes) {
      if (W.first == Port) {
        Out.push_back (W.second);
      }
    }

    return Out;
  }
};

TEST_F (FlashCommandTest, EraseOfBlockZeroIsFiveBytesOnTheCommandPort) {
  EXPECT_EQ (EraseBlock (), EFI_SUCCESS);

  EXPECT_EQ (WrittenTo (0x66), (Bytes{ 0x01, 0xD8, 0x00, 0x00, 0x00 }));
  EXPECT_EQ (Fake::gState->Writes.size (), 5u);
}

TEST_F (FlashCommandTest, ProgramOpcodeFollowsTheFlashId) {
  mBlockNumber = 3;
  mFlashId     = 0xBF;
  StartProgramBlock ();
  EXPECT_EQ (WrittenTo (0x66), (Bytes{ 0x02, 0xAD, 0x03, 0x00, 0x00 }));

  Fake::gState->Writes.clear ();
  mFlashId = 0xEF;
  StartProgramBlock ();
  EXPECT_EQ (WrittenTo (0x66), (Bytes{ 0x02, 0x02, 0x03, 0x00, 0x00 }));
}

TEST_F (FlashCommandTest, ReadSequenceIsTwoBytes) {
  mBlockNumber = 7;

  StartReadBlock ();

  EXPECT_EQ (WrittenTo (0x66), (Bytes{ 0x03, 0x07 }));
  EXPECT_EQ (Fake::gState->Writes.size (), 2u);
}

TEST_F (FlashCommandTest, ModeCommandsAndIdRead) {
  Sim->Faults.ManufacturerId = 0xBF;

  ReadFlashId ();
  ExitFlashMode ();

  EXPECT_EQ (mFlashId, 0xBF);
  EXPECT_EQ (WrittenTo (0x66), (Bytes{ 0x04, 0xFE }));
  EXPECT_FALSE (Sim->FlashMode);
}

TEST_F (FlashCommandTest, IdTimeOutKeepsTheIdAndPageProgram) {
  Sim->Faults.ObfAfterBytes = 0;

  EXPECT_EQ (ReadFlashId (), EFI_SUCCESS);
  StartProgramBlock ();

  EXPECT_EQ (mFlashId, 0);
  EXPECT_EQ (Printed (), "EcObFull error");
  EXPECT_EQ (mEcLink, EcAnswering) << "a lone time-out does not end the run";
  EXPECT_EQ (WrittenTo (0x66), (Bytes{ 0x04, 0x02, 0x02, 0x00, 0x00, 0x00 }));
}

// Once a byte is refused, nothing more goes to the EC and no more time is
// spent waiting on it.
TEST_F (FlashCommandTest, EcThatStopsTakingBytesIsLeftAlone) {
  Sim->Faults.StuckAfterBytes = Sim->BytesTaken + 2;

  EXPECT_EQ (EraseBlock (), EFI_TIMEOUT);
  EXPECT_EQ (mEcLink, EcStoppedTaking);
  EXPECT_EQ (WrittenTo (0x66), (Bytes{ 0x01, 0xD8 }));
  UINT64  Waited = Fake::gState->ClockUs;
  EXPECT_EQ (Waited, static_cast<UINT64>(EC_IBF_TIMEOUT_US));

  EXPECT_EQ (StartProgramBlock (), EFI_TIMEOUT);
  EXPECT_EQ (ExitFlashMode (), EFI_TIMEOUT);

  EXPECT_EQ (Fake::gState->Writes.size (), 2u);
  EXPECT_EQ (Fake::gState->ClockUs, Waited);
}

}  // namespace
