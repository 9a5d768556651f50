/** @file
  The simulated EC is the oracle of every other test, so its own contract
  is pinned here: NOR semantics, the command set, the handshake bits and
  each fault.

**/

#include "HostTest.h"

namespace {

class SimTest : public HostTest {
protected:
  void
  Command (
    std::initializer_list<UINT8>  Bytes
    )
  {
    for (UINT8 Byte : Bytes) {
      EcSimWrite (Sim.get (), 0x66, Byte);
    }
  }

  void
  Program (
    UINT8  Block,
    UINT8  Value
    )
  {
    Command ({ 0x02, 0x02, Block, 0x00, 0x00 });
    for (UINT32 Index = 0; Index < EC_SIM_BLOCK_SIZE; Index++) {
      EcSimWrite (Sim.get (), 0x62, Value);
    }
  }

  UINT8
  ReadByte (
    )
  {
    EXPECT_TRUE (EcSimRead (Sim.get (), 0x66) & 0x01) << "OBF announces every byte";
    return EcSimRead (Sim.get (), 0x62);
  }
};

TEST_F (SimTest, FlashBehavesLikeNor) {
  Command ({ 0xDC });
  Program (1, 0xF0);
  Program (1, 0x3C);           // without an erase, bits can only be cleared

  EXPECT_EQ (Flash[0x10000], 0x30);
  EXPECT_EQ (Flash[0x1FFFF], 0x30);
  EXPECT_EQ (Flash[0x0FFFF], 0xFF);
  EXPECT_EQ (Flash[0x20000], 0xFF);

  Command ({ 0x01, 0xD8, 0x01, 0x00, 0x00 });

  EXPECT_EQ (Flash[0x10000], 0xFF);
  EXPECT_EQ (Flash[0x1FFFF], 0xFF);
  EXPECT_EQ (Sim->Counters.Violations, 0u);
}

TEST_F (SimTest, ReadIdAndReadBackAreAnnouncedByObf) {
  Sim->Faults.ManufacturerId = 0xBF;
  Command ({ 0xDC, 0x04 });
  EXPECT_EQ (ReadByte (), 0xBF);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66) & 0x01, 0) << "OBF clears when the byte is read";

  Flash[0x20000] = 0x12;
  Flash[0x2FFFF] = 0x34;
  Command ({ 0x03, 0x02 });
  EXPECT_EQ (ReadByte (), 0x12);
  for (UINT32 Index = 1; Index < EC_SIM_BLOCK_SIZE - 1; Index++) {
    ReadByte ();
  }

  EXPECT_EQ (ReadByte (), 0x34);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66) & 0x01, 0) << "exactly 65,536 bytes";
  EXPECT_EQ (RecordText (), (std::vector<std::string>{ "C:DC", "C:04", "O:1", "C:03", "C:02", "O:65536" }));
}

TEST_F (SimTest, ByteWrittenWhileBusyIsLostAndCounted) {
  Sim->Faults.BusyReads = 2;
  Command ({ 0xDC, 0xFE });

  EXPECT_TRUE (Sim->FlashMode) << "0xFE arrived while IBF was set";
  EXPECT_EQ (Sim->Counters.Violations, 1u);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x02);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x02);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x00);
}

TEST_F (SimTest, WrongProgramOpcodeIsAViolation) {
  Sim->Faults.ManufacturerId = 0xBF;
  Command ({ 0xDC, 0x02, 0x02, 0x00, 0x00, 0x00 });

  EXPECT_EQ (Sim->Counters.Violations, 1u);
}

TEST_F (SimTest, NoDeviceReadsAllOnes) {
  Sim->Faults.NoDevice = TRUE;
  Command ({ 0xDC });

  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0xFF);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x62), 0xFF);
  EXPECT_FALSE (Sim->FlashMode);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x64), 0x00) << "the keyboard controller is still there";
}

TEST_F (SimTest, FaultsOfTheHandshake) {
  Sim->Faults.StuckAfterBytes = 1;
  Sim->Faults.ObfAfterBytes   = 0;
  Command ({ 0xDC });

  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x02);
  Command ({ 0x04 });
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x02) << "no answer, IBF for good";
}

TEST_F (SimTest, LateByteWithholdsObf) {
  Sim->Faults.LateByte  = 0;
  Sim->Faults.LateReads = 3;
  Command ({ 0xDC, 0x04 });

  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x00);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x00);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x00);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x01);
}

// A skipped read-back byte is withheld for exactly the host's whole wait,
// then dropped: the next status read shows the byte after it.
TEST_F (SimTest, SkippedByteCostsOneWholeWait) {
  Flash[0] = 0x10;
  Flash[1] = 0x11;
  Flash[2] = 0x12;
  Sim->Faults.SkipEvery = 2;
  Command ({ 0xDC, 0x03, 0x00 });

  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x01);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x62), 0x10);
  for (UINT32 Read = 0; Read < EC_SIM_HOST_WAIT_READS; Read++) {
    ASSERT_EQ (EcSimRead (Sim.get (), 0x66), 0x00) << Read;
  }

  EXPECT_EQ (EcSimRead (Sim.get (), 0x66), 0x01);
  EXPECT_EQ (EcSimRead (Sim.get (), 0x62), 0x12);
}

TEST_F (SimTest, CorruptionLastsForItsAttempts) {
  Sim->Faults.CorruptBlock    = 4;
  Sim->Faults.CorruptAttempts = 1;
  Command ({ 0xDC });
  Program (4, 0x00);

  EXPECT_EQ (Flash[0x40000 + 0x100], 0xFF);
  EXPECT_EQ (Flash[0x40000 + 0x0FF], 0x00);

  Command ({ 0x01, 0xD8, 0x04, 0x00, 0x00 });
  Program (4, 0x00);

  EXPECT_EQ (Flash[0x40000 + 0x100], 0x00);
}

TEST_F (SimTest, KeyboardControllerFollowsItsCommands) {
  EcSimWrite (Sim.get (), 0x64, 0xAD);
  EXPECT_FALSE (Sim->KeyboardEnabled);
  EcSimWrite (Sim.get (), 0x64, 0xAE);
  EXPECT_TRUE (Sim->KeyboardEnabled);
  EXPECT_EQ (RecordText (), (std::vector<std::string>{ "K:AD", "K:AE" }));
}

}  // namespace
