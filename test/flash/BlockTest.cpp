/** @file
  The block image: blank check, program-and-verify through the simulated
  EC, the Verify marks, and read-backs that time out.

**/

#include "HostTest.h"

#include <cstring>
#include <random>

#include "EcFlash.h"

namespace {

class BlockTest : public HostTest {
protected:
  void
  SetUp (
    ) override
  {
    HostTest::SetUp ();
    std::memset (mImageLow, 0xFF, HALF_BLOCK_SIZE);
    std::memset (mImageHigh, 0xFF, HALF_BLOCK_SIZE);
    std::memset (mReadBackLow, 0xFF, HALF_BLOCK_SIZE);
    std::memset (mReadBackHigh, 0xFF, HALF_BLOCK_SIZE);
    EnterFlashMode ();
  }

  void
  FillRandomImage (
    unsigned  Seed
    )
  {
    std::mt19937  Random (Seed);

    for (UINT32 Index = 0; Index < HALF_BLOCK_SIZE; Index++) {
      mImageLow[Index]  = static_cast<UINT8>(Random ());
      mImageHigh[Index] = static_cast<UINT8>(Random ());
    }
  }

  bool
  FlashHoldsImage (
    UINT8  Block
    ) const
  {
    const UINT8  *Start = Flash.data () + Block * FLASH_BLOCK_SIZE;

    return std::memcmp (Start, mImageLow, HALF_BLOCK_SIZE) == 0 &&
           std::memcmp (Start + HALF_BLOCK_SIZE, mImageHigh, HALF_BLOCK_SIZE) == 0;
  }

  BOOLEAN
  EraseAndVerify (
    )
  {
    EraseBlock ();
    return ProgramAndVerifyBlock ();
  }
};

TEST_F (BlockTest, BlankCheckLooksAtEveryByte) {
  EXPECT_FALSE (BlockHasData ());
  EXPECT_TRUE (Fake::gState->Writes.size () == 1u) << "the blank check sends nothing";

  mImageHigh[HALF_BLOCK_SIZE - 1] = 0xFE;
  EXPECT_TRUE (BlockHasData ());

  mImageHigh[HALF_BLOCK_SIZE - 1] = 0xFF;
  mImageLow[0]                    = 0x00;
  EXPECT_TRUE (BlockHasData ());
}

TEST_F (BlockTest, VerifiedBlockHoldsTheImage) {
  FillRandomImage (1);
  mBlockNumber = 2;

  EXPECT_TRUE (EraseAndVerify ());

  EXPECT_TRUE (FlashHoldsImage (2));
  EXPECT_EQ (Fake::At (12, 12), u'o');
  EXPECT_EQ (RecordText (), (std::vector<std::string>{
    "C:DC", "C:01", "C:D8", "C:02", "C:00", "C:00",
    "C:02", "C:02", "C:02", "C:00", "C:00", "I:65536",
    "C:03", "C:02", "O:65536" }));
  EXPECT_EQ (Sim->Counters.Violations, 0u);
}

TEST_F (BlockTest, FailedAttemptsShowTheirCount) {
  FillRandomImage (2);
  Sim->Faults.CorruptBlock    = 0;
  Sim->Faults.CorruptAttempts = EC_SIM_NEVER;
  const CHAR16  Marks[] = { 0x1F, u' ', u'!' };

  for (mRetryCount = 0; mRetryCount < 3; mRetryCount++) {
    EXPECT_FALSE (EraseAndVerify ());
    EXPECT_EQ (Fake::At (10, 12), Marks[mRetryCount]);
  }

  EXPECT_EQ (mEcLink, EcAnswering);
}

TEST_F (BlockTest, VerifyMarkOfBlockTwelve) {
  FillRandomImage (3);
  mBlockNumber = 12;

  EraseAndVerify ();

  EXPECT_EQ (Fake::At (22, 12), u'o');
  EXPECT_EQ (Fake::RowText (12), std::string (22, ' ') + "o");
}

TEST_F (BlockTest, HighHalfDifferenceFails) {
  FillRandomImage (4);
  Sim->Faults.CorruptBlock    = 0;
  Sim->Faults.CorruptAttempts = 1;
  Sim->Faults.CorruptOffset   = HALF_BLOCK_SIZE + 0x1000;

  EXPECT_FALSE (EraseAndVerify ());
  EXPECT_EQ (Fake::gState->CompareCalls, 2u);
}

TEST_F (BlockTest, LowHalfDifferenceSkipsTheHighHalf) {
  FillRandomImage (5);
  Sim->Faults.CorruptBlock    = 0;
  Sim->Faults.CorruptAttempts = 1;
  Sim->Faults.CorruptOffset   = 0x10;

  EXPECT_FALSE (EraseAndVerify ());
  EXPECT_EQ (Fake::gState->CompareCalls, 1u);

  EXPECT_TRUE (EraseAndVerify ()) << "the fault lasted one attempt";
}

// A dead read-back must not "verify" an image that its stale slots happen
// to equal: here every byte is 0x00 and the slots hold 0x00 from an
// earlier attempt, so only the time-out tells.
TEST_F (BlockTest, TimedOutReadBackNeverVerifies) {
  std::memset (mImageLow, 0x00, HALF_BLOCK_SIZE);
  std::memset (mImageHigh, 0x00, HALF_BLOCK_SIZE);
  std::memset (mReadBackLow, 0x00, HALF_BLOCK_SIZE);
  std::memset (mReadBackHigh, 0x00, HALF_BLOCK_SIZE);
  Sim->Faults.LateByte  = 1000;
  Sim->Faults.LateReads = 600;

  EXPECT_FALSE (EraseAndVerify ());

  EXPECT_EQ (Count (Printed (), "EcObFull error"), 1u);
  EXPECT_EQ (Fake::At (10, 12), 0x1F);
  EXPECT_EQ (mEcLink, EcAnswering) << "a lone time-out is not a silent EC";
  EXPECT_EQ (Sim->Counters.DataReads, FLASH_BLOCK_SIZE - 1u) << "the rest of the stream is still read";
}

// An EC that now and then misses the 5 ms window: 65 time-outs in the
// attempt, never 32 in a row. The attempt fails like a mismatch and the
// next one, without misses, verifies; the EC is never taken for silent.
TEST_F (BlockTest, ScatteredTimeOutsFailOnlyTheAttempt) {
  FillRandomImage (5);
  Sim->Faults.SkipEvery     = 1000;
  Sim->Faults.SkipReadBacks = 1;

  EXPECT_FALSE (EraseAndVerify ());

  EXPECT_EQ (mEcLink, EcAnswering);
  EXPECT_EQ (Count (Printed (), "EcObFull error"), FLASH_BLOCK_SIZE / 1000u);
  EXPECT_EQ (Sim->Counters.DataReads, FLASH_BLOCK_SIZE - FLASH_BLOCK_SIZE / 1000u) << "the stream stays aligned";
  EXPECT_EQ (Fake::At (10, 12), 0x1F);

  mRetryCount = 1;
  EXPECT_TRUE (EraseAndVerify ());
  EXPECT_TRUE (FlashHoldsImage (0));
}

TEST_F (BlockTest, EcThatStopsTakingBytesMidProgramIsReported) {
  FillRandomImage (6);
  Sim->Faults.StuckAfterBytes = Sim->BytesTaken + 5 + 5 + 1000;

  EXPECT_FALSE (EraseAndVerify ());

  EXPECT_EQ (mEcLink, EcStoppedTaking);
  EXPECT_EQ (Sim->Counters.DataWrites, 1000u);
  EXPECT_EQ (Fake::gState->ClockUs, static_cast<UINT64>(EC_IBF_TIMEOUT_US)) << "one bounded wait, not one per byte";
}

TEST_F (BlockTest, EcThatFallsSilentMidReadBackIsReported) {
  FillRandomImage (7);
  Sim->Faults.ObfAfterBytes = 100;

  EXPECT_FALSE (EraseAndVerify ());

  EXPECT_EQ (mEcLink, EcStoppedTalking);
  EXPECT_EQ (Count (Printed (), "EcObFull error"), static_cast<size_t>(EC_READ_SILENCE_LIMIT));
  EXPECT_EQ (Sim->Counters.DataReads, 100u);
  EXPECT_EQ (Fake::gState->ClockUs, EC_READ_SILENCE_LIMIT * 5000u);
}

}  // namespace
