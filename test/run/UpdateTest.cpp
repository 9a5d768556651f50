/** @file
  -u, which rewrites only the blocks that differ, and the closing check that
  reads the whole flash back after a run with options.

**/

#include "RunTest.h"

#include <algorithm>
#include <cstring>

#include "EcFlash.h"

namespace {

constexpr size_t  BLOCK = 0x10000;

constexpr const char16_t  *LOG = u"FS0:\\images\\run.log";

class UpdateTest : public RunTest {
protected:
  // Blocks for which an erase sequence reached the EC, in order.
  std::vector<int>
  ErasedBlocks (
    ) const
  {
    auto              Record = RecordText ();
    std::vector<int>  Out;

    for (size_t Index = 0; Index + 2 < Record.size (); Index++) {
      if ((Record[Index] == "C:01") && (Record[Index + 1] == "C:D8")) {
        Out.push_back (std::stoi (Record[Index + 2].substr (2), nullptr, 16));
      }
    }

    return Out;
  }

  size_t
  ReadSequences (
    ) const
  {
    auto  Record = RecordText ();

    return std::count (Record.begin (), Record.end (), "O:65536");
  }

  std::string
  LogLine (
    ) const
  {
    auto  Found = Fake::gState->Files.find (LOG);

    return (Found == Fake::gState->Files.end ()) ? "" : std::string (Found->second.Data.begin (), Found->second.Data.end ());
  }
};

// Each block is compared before anything is erased: equal blocks (a blank
// one included) are left alone, anything else is rewritten as in a flash.
TEST_F (UpdateTest, OnlyTheBlocksThatDifferAreRewritten) {
  auto  Image = RandomImage (5 * BLOCK + 0x2000);

  std::memset (Image.data () + 2 * BLOCK, 0xFF, 2 * BLOCK);   // blocks 2 and 3 blank
  std::copy (Image.begin (), Image.end (), Flash.begin ());
  std::fill (Flash.begin () + 6 * BLOCK, Flash.end (), 0xFF);
  Flash[BLOCK + 7]         ^= 0x01;                            // block 1 differs
  Flash[3 * BLOCK + 0x100]  = 0x00;                            // block 3: the EC is not blank
  Flash[5 * BLOCK + 0x3000] = 0x12;                            // block 5: in the tail's padding
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-u", u"-l", u"run.log", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (ErasedBlocks (), (std::vector<int>{ 1, 3, 5 }));
  EXPECT_EQ (Fake::RowText (10), " Erase   : . . .");
  EXPECT_EQ (Fake::RowText (11), " Program : . . .");
  EXPECT_EQ (Fake::RowText (12), " Verify  :=o=.=o");
  EXPECT_EQ (Fake::RowText (7), " Check   :oooooo");
  EXPECT_EQ (Fake::RowText (15), "Morvane finished: 3 of 6 blocks rewritten, remove power and reboot.");
  EXPECT_NE (LogLine ().find (" ec=flashed changed=3 secureboot=off signer=- version=- outcome="), std::string::npos) << LogLine ();
  EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
}

// A byte that comes too late on the compare read is a difference, never
// taken for an equal byte. It arrives in the next slot, so the EC holds the
// image shifted by one from there on, and the slot that timed out keeps the
// 0xFF it was cleared to, as the image has there: every byte read equals
// the image.
TEST_F (UpdateTest, TimedOutByteOnTheCompareCountsAsDifferent) {
  auto  Image = RandomImage (BLOCK);

  Image[700] = 0xFF;
  std::copy (Image.begin (), Image.begin () + 700, Flash.begin ());
  std::copy (Image.begin () + 701, Image.end (), Flash.begin () + 700);
  AddImage (Image);
  Sim->Faults.LateByte  = 1 + 700;
  Sim->Faults.LateReads = 600;

  EXPECT_EQ (Run ({ u"-u", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (ErasedBlocks (), (std::vector<int>{ 0 }));
  EXPECT_EQ (Fake::RowText (12), " Verify  :o");
}

// With a save, the saved bytes are the comparison: each block is read from
// the EC once before the first erase.
TEST_F (UpdateTest, SaveIsTheComparison) {
  auto  Image = RandomImage (3 * BLOCK);

  std::copy (Image.begin (), Image.end (), Flash.begin ());
  Flash[2 * BLOCK + 9] ^= 0x80;
  Flash[BLOCK + 0xFFF0] ^= 0x01;                               // block 1: only its high half
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-u", u"-s", u"save.bin", u"ec.bin" }), EFI_SUCCESS);

  auto                      Record = RecordText ();
  std::vector<std::string>  Erase{ "C:01", "C:D8" };
  auto  FirstErase = std::search (Record.begin (), Record.end (), Erase.begin (), Erase.end ());
  EXPECT_EQ (std::count (Record.begin (), FirstErase, "O:65536"), 3) << "one read per block before the first erase";
  EXPECT_EQ (ErasedBlocks (), (std::vector<int>{ 1, 2 }));
  EXPECT_EQ (ReadSequences (), 3u + 2 + 3) << "the save, the verifies, the closing check";
}

TEST_F (UpdateTest, NothingErasedWhenEveryBlockMatches) {
  auto  Image = RandomImage (2 * BLOCK);

  std::copy (Image.begin (), Image.end (), Flash.begin ());
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-u", u"-l", u"run.log", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (ErasedBlocks ().empty ());
  EXPECT_EQ (ReadSequences (), 2u) << "no closing check after a run that erased nothing";
  EXPECT_EQ (Fake::RowText (12), " Verify  :==");
  EXPECT_EQ (Fake::RowText (15), "EC flash already matches the image; nothing was erased.");
  EXPECT_EQ (Printed ().find ("remove power"), std::string::npos);
  EXPECT_NE (LogLine ().find (" status=0x0 product=- ec=unchanged changed=0 secureboot=off signer=- version=- outcome="), std::string::npos) << LogLine ();
}

// A part half the image's size: every block verifies as it is written, and
// only the closing check sees that blocks 2 and 3 landed on 0 and 1. The
// plain run has no closing check and ends as it always did.
TEST_F (UpdateTest, ClosingCheckCatchesAFlashThatWraps) {
  struct Case {
    std::vector<std::u16string>  Args;
    EFI_STATUS                   Status;
    const char                   *Check;
    const char                   *Last;
  };
  const Case  Cases[] = {
    { { u"-l", u"run.log", u"ec.bin" }, EFI_END_OF_MEDIA, " Check   :xxoo",
      "Block 0 differs from the image after the flash (2 blocks differ); the image may be larger than the EC flash."
      " EC flash incomplete: keep power on, flash again." },
    { { u"ec.bin" }, EFI_SUCCESS, "", "Morvane finished, remove power and reboot." },
  };

  for (const auto &C : Cases) {
    SetUp ();
    AddImage (RandomImage (4 * BLOCK));
    Sim->Faults.SizeBlocks = 2;

    EXPECT_EQ (Run (C.Args), C.Status);

    EXPECT_EQ (Fake::RowText (7), C.Check);
    EXPECT_EQ (Fake::RowText (12), " Verify  :oooo");
    EXPECT_EQ (Fake::RowText (15), C.Last);
  }

  EXPECT_TRUE (LogLine ().empty ());
  SetUp ();
  AddImage (RandomImage (4 * BLOCK));
  Sim->Faults.SizeBlocks = 2;
  Run ({ u"-l", u"run.log", u"ec.bin" });
  EXPECT_NE (LogLine ().find (" status=0x1C product=- ec=incomplete changed=4 secureboot=off signer=- version=- outcome=\"Block 0 differs"), std::string::npos)
    << LogLine ();
}

}  // namespace
