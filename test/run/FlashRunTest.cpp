/** @file
  Whole flash runs: image sizes and the tail rule, blank blocks, retries,
  the finishing sequence and its order, and every failed run.

**/

#include "RunTest.h"

#include <algorithm>
#include <cstring>

#include "EcFlash.h"

namespace {

using Record = std::vector<std::string>;

constexpr size_t  BLOCK = 0x10000;

class FlashRunTest : public RunTest {
protected:
  // What the EC flash must hold after flashing Image: whole blocks while
  // the file lasts, a last block only if its first half holds 8 KiB
  // (block 0 excepted), padding and the rest erased.
  std::vector<UINT8>
  Expected (
    const std::vector<UINT8>  &Image
    ) const
  {
    std::vector<UINT8>  Out (EC_SIM_FLASH_SIZE, 0xFF);

    for (size_t Block = 0; Block * BLOCK < Image.size (); Block++) {
      size_t  Left = Image.size () - Block * BLOCK;
      if (Block > 0 && std::min<size_t>(Left, BLOCK / 2) < 0x2000) {
        break;
      }

      std::memcpy (Out.data () + Block * BLOCK, Image.data () + Block * BLOCK, std::min (Left, BLOCK));
    }

    return Out;
  }

  static Record
  Flashed (
    UINT8  Block,
    UINT8  Opcode = 0x02
    )
  {
    char    Number[8];

    snprintf (Number, sizeof (Number), "C:%02X", Block);
    return { "C:01", "C:D8", Number, "C:00", "C:00",
             "C:02", Opcode == 0x02 ? "C:02" : "C:AD", Number, "C:00", "C:00", "I:65536",
             "C:03", Number, "O:65536" };
  }

  static Record
  Erased (
    UINT8  Block
    )
  {
    Record  All = Flashed (Block);

    return Record (All.begin (), All.begin () + 5);
  }

  static Record
  Run (
    std::initializer_list<Record>  Parts
    )
  {
    Record  Out{ "K:AD", "C:DC", "C:04", "O:1" };

    for (const auto &Part : Parts) {
      Out.insert (Out.end (), Part.begin (), Part.end ());
    }

    Out.push_back ("C:FE");
    Out.push_back ("K:AE");
    return Out;
  }

  using RunTest::Run;

  // Log position of the device event that recorded Kind:Value.
  size_t
  StampOf (
    UINT8  Kind,
    UINT8  Value
    ) const
  {
    for (UINT32 Index = 0; Index < Sim->RecordLength; Index++) {
      if (Sim->Record[Index].Kind == Kind && Sim->Record[Index].Value == Value) {
        return Sim->Record[Index].Stamp;
      }
    }

    return std::string::npos;
  }

  // Log position of the last event of a kind: the image's own open and
  // close, after the look at its first bytes that tells it is no capsule.
  static size_t
  LastOf (
    const std::string  &Kind
    )
  {
    size_t  Last = std::string::npos;

    for (size_t At = Fake::Find (Kind); At != std::string::npos; At = Fake::Find (Kind, u"", At + 1)) {
      Last = At;
    }

    return Last;
  }

  // The finishing sequence's order: message, close, 0xFE, then 0xAE last.
  void
  ExpectFinishingOrder (
    const std::u16string  &Message
    ) const
  {
    size_t  Said   = Fake::Find ("print", Message);
    size_t  Closed = LastOf ("close");
    size_t  Exit   = StampOf (EcSimCommand, 0xFE);

    ASSERT_NE (Said, std::string::npos);
    EXPECT_LT (Said, Closed);
    EXPECT_LT (Closed, Exit);
    EXPECT_EQ (RecordText ().back (), "K:AE");
    EXPECT_EQ (Sim->Record[0].Kind, EcSimKbc) << "0xAD precedes the EC's first byte";
    EXPECT_LT (Sim->Record[0].Stamp, LastOf ("open"));
  }

  bool
  FlashEquals (
    const std::vector<UINT8>  &Image
    ) const
  {
    return Flash == Expected (Image);
  }
};

constexpr const char16_t  *FINISHED = u"Morvane finished, remove power and reboot.\r\n";

TEST_F (FlashRunTest, EmptyImageOnlyEntersAndLeaves) {
  AddImage ({});

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (RecordText (), Run ({}));
  EXPECT_EQ (Fake::RowText (13), "Morvane finished, remove power and reboot.");
  ExpectFinishingOrder (FINISHED);
  EXPECT_TRUE (Sim->KeyboardEnabled);
}

TEST_F (FlashRunTest, TwoWholeBlocks) {
  auto  Image = RandomImage (2 * BLOCK);

  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (RecordText (), Run ({ Flashed (0), Flashed (1) }));
  EXPECT_EQ (Fake::RowText (10), " Erase   :..");
  EXPECT_EQ (Fake::RowText (11), " Program :..");
  EXPECT_EQ (Fake::RowText (12), " Verify  :oo");
  EXPECT_EQ (Fake::RowText (14), " Block Number: 2 ----- 1 second");
  EXPECT_EQ (Fake::RowText (15), "Morvane finished, remove power and reboot.");
  EXPECT_EQ (Fake::gState->Reads, 3u) << "its first bytes to tell it from a capsule, then the whole image once, a block at a time";
  ExpectFinishingOrder (FINISHED);
  EXPECT_EQ (Sim->Counters.Violations, 0u);
}

TEST_F (FlashRunTest, TailRuleAndPadding) {
  struct Case { size_t Size; Record Blocks; };
  const Case  Cases[] = {
    { BLOCK + 4096, Run ({ Flashed (0) }) },
    { BLOCK + 8192, Run ({ Flashed (0), Flashed (1) }) },
    { 5000, Run ({ Flashed (0) }) },
    { 100, Run ({ Flashed (0) }) },
  };

  for (const Case &C : Cases) {
    SetUp ();
    auto  Image = RandomImage (C.Size, static_cast<unsigned>(C.Size));
    AddImage (Image);

    EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS) << C.Size;
    EXPECT_TRUE (FlashEquals (Image)) << C.Size;
    EXPECT_EQ (RecordText (), C.Blocks) << C.Size;
    ExpectFinishingOrder (FINISHED);
  }
}

// Over old firmware: a flashed block is replaced whole, its padding erased;
// the blocks past the image are left as they were.
TEST_F (FlashRunTest, OldFirmwareIsReplacedBlockByBlock) {
  for (UINT32 Offset = 0; Offset < 2 * BLOCK; Offset++) {
    Flash[Offset] = EcSimOldByte (Offset);
  }

  auto  Image = RandomImage (5000, 9);
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
  EXPECT_TRUE (std::all_of (Flash.begin () + Image.size (), Flash.begin () + BLOCK, [](UINT8 Byte) { return Byte == 0xFF; }));
  for (UINT32 Offset = BLOCK; Offset < 2 * BLOCK; Offset++) {
    ASSERT_EQ (Flash[Offset], EcSimOldByte (Offset)) << Offset;
  }
}

TEST_F (FlashRunTest, BlankBlockIsErasedOnly) {
  auto  Image = RandomImage (3 * BLOCK);

  std::memset (Image.data () + BLOCK, 0xFF, BLOCK);
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (RecordText (), Run ({ Flashed (0), Erased (1), Flashed (2) }));
  EXPECT_EQ (Fake::RowText (10), " Erase   :...");
  EXPECT_EQ (Fake::RowText (11), " Program :...");
  EXPECT_EQ (Fake::RowText (12), " Verify  :o.o");
  ExpectFinishingOrder (FINISHED);
}

TEST_F (FlashRunTest, SstFlashGetsAutoAddressIncrement) {
  auto  Image = RandomImage (BLOCK);

  Sim->Faults.ManufacturerId = 0xBF;
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (RecordText (), Run ({ Flashed (0, 0xAD) }));
}

TEST_F (FlashRunTest, BlockThatFailsTwiceThenPasses) {
  auto  Image = RandomImage (2 * BLOCK);

  Sim->Faults.CorruptBlock    = 1;
  Sim->Faults.CorruptAttempts = 2;
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  Record  All     = Flashed (1);
  Record  Attempt = Record (All.begin () + 5, All.end ());
  Record  Block1 = Erased (1);
  for (int Try = 0; Try < 3; Try++) {
    if (Try > 0) {
      Record  Erase = Erased (1);
      Block1.insert (Block1.end (), Erase.begin (), Erase.end ());
    }

    Block1.insert (Block1.end (), Attempt.begin (), Attempt.end ());
  }

  EXPECT_EQ (RecordText (), Run ({ Flashed (0), Block1 }));
  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (Fake::RowText (10), " Erase   :..");
  EXPECT_EQ (Fake::RowText (12), " Verify  :oo");
  EXPECT_EQ (Sim->Programs[1], 3u);
  ExpectFinishingOrder (FINISHED);
}

// Two blocks that each fail seven times: each gets the whole budget of
// eight attempts, and each cell's marks count from character 31 again.
TEST_F (FlashRunTest, EachBlockGetsItsOwnAttempts) {
  auto  Image = RandomImage (3 * BLOCK);

  Sim->Faults.CorruptBlock    = 0;
  Sim->Faults.CorruptBlocks   = 2;
  Sim->Faults.CorruptAttempts = 7;
  Fake::gState->PortBudget    = 8000000;
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (Sim->Programs[0], 8u);
  EXPECT_EQ (Sim->Programs[1], 8u);
  const std::u16string  Marks = u"\x1F !\"#$%o";
  for (UINTN Column : { 10, 11 }) {
    std::u16string  Shown;
    for (const auto &E : Fake::gState->Log) {
      if (E.Kind == "print" && E.Column == Column && E.Row == 12) {
        Shown += E.Text;
      }
    }

    EXPECT_TRUE (Shown == Marks) << "block " << Column - 10 << " showed " << Fake::Narrow (Shown);
  }
}

// Read-backs with scattered time-outs (more than 32, never 32 in a row)
// are retried like a mismatch; the EC is not given up as silent.
TEST_F (FlashRunTest, ScatteredTimeOutsAreRetried) {
  auto  Image = RandomImage (2 * BLOCK);

  Sim->Faults.SkipEvery     = 1000;
  Sim->Faults.SkipReadBacks = 2;
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (Sim->Programs[0], 3u);
  EXPECT_EQ (Sim->Programs[1], 1u);
  EXPECT_EQ (Printed ().find ("EC not answering"), std::string::npos);
}

TEST_F (FlashRunTest, OpenFailureTouchesOnlyTheKeyboardController) {
  AddImage ({ 1, 2, 3 });
  Fake::gState->OpenStatus = EFI_ACCESS_DENIED;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_ACCESS_DENIED);

  EXPECT_EQ (RecordText (), (Record{ "K:AD", "K:AE" }));
  EXPECT_NE (Fake::Find ("print", u"Failed to open ourselves: 800000000000000F\r\n"), std::string::npos);
  EXPECT_EQ (Fake::RowText (13), "Failed to open ourselves: 800000000000000F");
  EXPECT_EQ (Fake::gState->ClockUs, 1000000u) << "the one-second pause comes first";
}

TEST_F (FlashRunTest, BlockThatNeverVerifiesEndsTheRunAfterEightAttempts) {
  auto  Image = RandomImage (3 * BLOCK);

  Sim->Faults.CorruptBlock    = 1;
  Sim->Faults.CorruptAttempts = EC_SIM_NEVER;
  Fake::gState->PortBudget    = 4000000;
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_DEVICE_ERROR);

  EXPECT_EQ (Sim->Programs[1], 8u);
  EXPECT_EQ (Sim->Programs[2], 0u);
  EXPECT_EQ (Fake::At (11, 12), 0x1F + 7);
  const std::string  Line = "Block 1 never verified. EC flash incomplete: keep power on, flash again.";
  EXPECT_EQ (Fake::RowText (15), Line);
  EXPECT_EQ (Printed ().find ("Morvane finished"), std::string::npos);
  ExpectFinishingOrder (u"Block 1 never verified.");
  EXPECT_EQ (RecordText ().end ()[-2], "C:FE");
}

// The image is in memory before the EC's first byte: an image that cannot
// be read whole ends the run inside the keyboard bracket, with nothing sent
// to the EC and the copy's pool released.
TEST_F (FlashRunTest, ImageThatCannotBeReadWholeSendsTheEcNothing) {
  struct Case {
    const char    *What;
    UINTN         FailReadAt;
    UINT64        SizeExtra;
    BOOLEAN       NoPool;
    EFI_STATUS    Status;
    const char    *Line;
  };
  const Case  Cases[] = {
    { "a read that fails at the last block", 3, 0, FALSE, EFI_DEVICE_ERROR,
      "Image could not be read (Device Error); nothing was flashed." },
    { "a file shorter than its size", 0, 100, FALSE, EFI_END_OF_FILE,
      "Image could not be read (End of File); nothing was flashed." },
    { "no pool for the image", 0, 0, TRUE, EFI_OUT_OF_RESOURCES,
      "Image could not be read (Out of Resources); nothing was flashed." },
  };

  for (const auto &C : Cases) {
    SetUp ();
    AddImage (RandomImage (3 * BLOCK));
    Fake::gState->FailReadAt       = C.FailReadAt;
    Fake::gState->SizeExtra        = C.SizeExtra;
    Fake::gState->FailAllocatePool = C.NoPool;

    EXPECT_EQ (Run ({ u"ec.bin" }), C.Status) << C.What;

    EXPECT_EQ (RecordText (), (Record{ "K:AD", "K:AE" })) << C.What;
    EXPECT_EQ (Fake::RowText (13), C.Line) << C.What;
    EXPECT_EQ (Fake::gState->ClockUs, 1000000u) << C.What;
  }
}

// Nothing at 0x62/0x66: one bounded wait after the pause, the keyboard
// interface back on, nothing more sent to the EC.
TEST_F (FlashRunTest, NoEcEndsPromptly) {
  AddImage (RandomImage (2 * BLOCK));
  Sim->Faults.NoDevice = TRUE;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_TIMEOUT);

  EXPECT_LE (Fake::gState->ClockUs, 15000000u);
  EXPECT_EQ (RecordText (), (Record{ "K:AD", "K:AE" }));
  EXPECT_TRUE (Sim->KeyboardEnabled);
  EXPECT_EQ (Fake::RowText (13), "EC not answering at block 0. The EC flash was not changed.");
  EXPECT_EQ (Printed ().find ("Morvane finished"), std::string::npos);
  for (const auto &W : Fake::gState->Writes) {
    EXPECT_EQ (W.first, 0x64u);
  }
}

TEST_F (FlashRunTest, EcThatStopsTakingBytesGetsNoExitCommand) {
  AddImage (RandomImage (3 * BLOCK));
  Sim->Faults.StuckAfterBytes = 2 + (5 + 5 + BLOCK + 2) + 5 + 5 + 30000;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_TIMEOUT);

  EXPECT_EQ (StampOf (EcSimCommand, 0xFE), std::string::npos);
  EXPECT_EQ (RecordText ().back (), "K:AE");
  EXPECT_NE (Printed ().find ("EC not answering at block 1."), std::string::npos);
  EXPECT_LE (Fake::gState->ClockUs, 1000000u + EC_IBF_TIMEOUT_US);
}

TEST_F (FlashRunTest, EcThatFallsSilentStillLeavesFlashMode) {
  AddImage (RandomImage (2 * BLOCK));
  Sim->Faults.ObfAfterBytes = 1 + 500;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_TIMEOUT);

  EXPECT_EQ (RecordText ().end ()[-2], "C:FE");
  EXPECT_FALSE (Sim->FlashMode);
  EXPECT_EQ (Sim->Programs[1], 0u);
  EXPECT_EQ (Count (Printed (), "EcObFull error"), static_cast<size_t>(EC_READ_SILENCE_LIMIT));
  EXPECT_NE (Printed ().find ("EC not answering at block 0."), std::string::npos);
}

TEST_F (FlashRunTest, ImageOverSixteenMegabytesIsRefused) {
  AddImage (std::vector<UINT8>(EC_SIM_FLASH_SIZE + 1, 0x00));

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_BAD_BUFFER_SIZE);

  EXPECT_EQ (RecordText (), (Record{ "K:AD", "K:AE" }));
  EXPECT_EQ (Fake::RowText (13), "Image is larger than 16 MiB; nothing was flashed.");
  EXPECT_NE (Fake::Find ("close"), std::string::npos);
}

TEST_F (FlashRunTest, ImageOfExactlySixteenMegabytes) {
  auto  Image = RandomImage (EC_SIM_FLASH_SIZE);

  Fake::gState->PortBudget = 80000000;
  AddImage (Image);

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (Fake::RowText (14).substr (0, 21), " Block Number: 256 --");
  EXPECT_EQ (Sim->Programs[0], 1u) << "block 0 was not overwritten by a wrapped block number";
}

TEST_F (FlashRunTest, ShortReadsDoNotShiftTheData) {
  auto  Image = RandomImage (2 * BLOCK + 10000);

  AddImage (Image);
  Fake::gState->MaxReadSize = 1000;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
}

// "-b" asks the shell to page; a page break mid-flash would wait for a key
// that the switched-off keyboard cannot send.
TEST_F (FlashRunTest, PageBreakFlagNeverPagesTheRun) {
  auto  Image = RandomImage (3 * BLOCK);

  AddImage (Image);

  EXPECT_EQ (Run ({ u"-b", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (FlashEquals (Image));
  EXPECT_EQ (Fake::gState->PagedPrints, 0u);
  EXPECT_FALSE (Fake::gState->PageBreak);
  EXPECT_EQ (RecordText (), Run ({ Flashed (0), Flashed (1), Flashed (2) }));
}

// Erases of 5 s each (slow, within the bound) carry the run across
// midnight and the new year.
TEST_F (FlashRunTest, ElapsedSecondsCrossMidnight) {
  Fake::gState->BaseTime = { 2026, 12, 31, 23, 59, 58 };
  Sim->Faults.EraseBusyReads = EC_IBF_SPIN_LIMIT + 50000;
  AddImage (RandomImage (BLOCK));

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (Fake::RowText (14), " Block Number: 1 ----- 6 second");
}

}  // namespace
