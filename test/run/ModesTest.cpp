/** @file
  The run modes beside the flash: verify only, save before flashing, and
  save alone.

**/

#include "RunTest.h"

#include <algorithm>
#include <cstring>

#include "EcFlash.h"

namespace {

using Record = std::vector<std::string>;

constexpr size_t  BLOCK = 0x10000;

class ModesTest : public RunTest {
protected:
  static std::string
  Byte (
    size_t  Value
    )
  {
    char  Text[8];

    snprintf (Text, sizeof (Text), "C:%02X", static_cast<unsigned>(Value));
    return Text;
  }

  // The record of a session that only reads blocks 0 .. Blocks-1 back.
  static Record
  ReadsOnly (
    size_t  Blocks
    )
  {
    Record  Out{ "K:AD", "C:DC", "C:04", "O:1" };

    for (size_t Block = 0; Block < Blocks; Block++) {
      Out.insert (Out.end (), { "C:03", Byte (Block), "O:65536" });
    }

    Out.insert (Out.end (), { "C:FE", "K:AE" });
    return Out;
  }

  void
  FillFlashWith (
    const std::vector<UINT8>  &Image
    )
  {
    std::copy (Image.begin (), Image.end (), Flash.begin ());
  }

  void
  OldFirmware (
    size_t  Blocks
    )
  {
    for (UINT32 Offset = 0; Offset < Blocks * BLOCK; Offset++) {
      Flash[Offset] = EcSimOldByte (Offset);
    }
  }

  bool
  NoEraseOrProgram (
    ) const
  {
    auto  Record = RecordText ();

    // A read sequence's second byte is a block number, not a command.
    for (size_t Index = 0; Index < Record.size (); Index++) {
      if (Record[Index] == "C:03") {
        Index++;
      } else if (Record[Index] == "C:01" || Record[Index] == "C:02") {
        return false;
      }
    }

    return true;
  }

  std::vector<UINT8>
  FileData (
    const std::u16string  &Path
    ) const
  {
    auto  Found = Fake::gState->Files.find (Path);

    return (Found == Fake::gState->Files.end ()) ? std::vector<UINT8>{} : Found->second.Data;
  }
};

constexpr const char16_t  *SAVE = u"FS0:\\images\\save.bin";

// --- verify only ---------------------------------------------------------

TEST_F (ModesTest, VerifyOfAnEqualFlashChangesNothing) {
  auto  Image = RandomImage (2 * BLOCK + 4096);

  FillFlashWith (Image);
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-v", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (RecordText (), ReadsOnly (2)) << "the 4,096-byte tail is not compared, as it is not flashed";
  EXPECT_EQ (Fake::RowText (10), " Erase   :");
  EXPECT_EQ (Fake::RowText (11), " Program :");
  EXPECT_EQ (Fake::RowText (12), " Verify  :oo");
  EXPECT_EQ (Fake::RowText (14), " Block Number: 2 ----- 1 second");
  EXPECT_EQ (Fake::RowText (15), "EC flash matches the image.");
  EXPECT_EQ (Printed ().find ("power"), std::string::npos);
}

TEST_F (ModesTest, VerifyCountsDifferingBlocks) {
  auto  Image = RandomImage (4 * BLOCK);

  std::memset (Image.data () + 3 * BLOCK, 0xFF, BLOCK);   // blank: compared with 0xFF
  FillFlashWith (Image);
  Flash[BLOCK + 0x9000] ^= 0x10;
  Flash[3 * BLOCK + 5]   = 0x00;
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-v", u"ec.bin" }), EFI_CRC_ERROR);

  EXPECT_EQ (Fake::RowText (12), " Verify  :oxox");
  EXPECT_EQ (Fake::RowText (15), "EC flash differs from the image in 2 of 4 blocks; first at block 1.");
  EXPECT_TRUE (NoEraseOrProgram ());
}

// A byte that came too late is a difference, whatever its slot holds.
TEST_F (ModesTest, VerifyCountsTimedOutBytesAsDifferences) {
  auto  Image = RandomImage (BLOCK);

  FillFlashWith (Image);
  AddImage (Image);
  Sim->Faults.LateByte  = 1 + 500;
  Sim->Faults.LateReads = 600;

  EXPECT_EQ (Run ({ u"-v", u"ec.bin" }), EFI_CRC_ERROR);

  EXPECT_EQ (Fake::At (10, 12), u'x');
}

TEST_F (ModesTest, VerifyOfASilentEcSaysNothingWasChanged) {
  AddImage (RandomImage (2 * BLOCK));
  Sim->Faults.ObfAfterBytes = 1 + 100;

  EXPECT_EQ (Run ({ u"-v", u"ec.bin" }), EFI_TIMEOUT);

  EXPECT_NE (Printed ().find ("EC not answering at block 0. The EC flash was not changed.??"), std::string::npos);
  EXPECT_EQ (Printed ().find ("power"), std::string::npos);
  EXPECT_EQ (RecordText ().end ()[-2], "C:FE");
  EXPECT_TRUE (NoEraseOrProgram ());
}

// --- save ----------------------------------------------------------------

TEST_F (ModesTest, SaveBeforeFlashKeepsTheOldFirmware) {
  auto  Image = RandomImage (2 * BLOCK);

  OldFirmware (3);
  const std::vector<UINT8>  Old (Flash.begin (), Flash.begin () + 2 * BLOCK);
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-s", u"save.bin", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (FileData (SAVE), Old);
  EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
  auto  Record = RecordText ();
  Record.resize (10);
  EXPECT_EQ (Record, (std::vector<std::string>{ "K:AD", "C:DC", "C:04", "O:1", "C:03", "C:00", "O:65536", "C:03", "C:01", "O:65536" }));
  EXPECT_EQ (RecordText ()[10], "C:01") << "the first erase comes after the save";
  EXPECT_EQ (Fake::RowText (9), " Save    :..");
  EXPECT_EQ (Fake::RowText (12), " Verify  :oo");
  EXPECT_EQ (Fake::RowText (15), "Morvane finished, remove power and reboot.");
}

TEST_F (ModesTest, SaveAloneStopsAfterTheSave) {
  OldFirmware (3);

  EXPECT_EQ (Run ({ u"-s", u"save.bin", u"-n", u"3" }), EFI_SUCCESS);

  EXPECT_EQ (FileData (SAVE), std::vector<UINT8>(Flash.begin (), Flash.begin () + 3 * BLOCK));
  EXPECT_EQ (RecordText (), ReadsOnly (3));
  EXPECT_EQ (Fake::RowText (9), " Save    :...");
  EXPECT_EQ (Fake::RowText (13), "EC flash saved: 3 blocks to FS0:\\images\\save.bin.");
  EXPECT_EQ (Printed ().find ("power"), std::string::npos);
}

TEST_F (ModesTest, SaveThenVerify) {
  auto  Image = RandomImage (BLOCK);

  FillFlashWith (Image);
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-s", u"save.bin", u"-v", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (FileData (SAVE), Image);
  EXPECT_EQ (RecordText (), (Record{ "K:AD", "C:DC", "C:04", "O:1", "C:03", "C:00", "O:65536", "C:03", "C:00", "O:65536", "C:FE", "K:AE" }));
}

TEST_F (ModesTest, ExistingSaveFileIsNeverOverwritten) {
  AddImage (RandomImage (BLOCK));
  AddImage ({ 7, 7, 7 }, SAVE);

  EXPECT_EQ (Run ({ u"-s", u"save.bin", u"ec.bin" }), EFI_ACCESS_DENIED);

  EXPECT_EQ (Fake::RowText (13), "FS0:\\images\\save.bin already exists; a save never overwrites a file. Nothing was done.");
  EXPECT_EQ (FileData (SAVE), (std::vector<UINT8>{ 7, 7, 7 }));
  EXPECT_TRUE (NoPortTouched ());
}

// An empty image is never a success with Morvane's own options: each mode
// refuses it before any port.
TEST_F (ModesTest, EmptyImageIsRefusedWithOptions) {
  const std::vector<std::vector<std::u16string>>  Cases = {
    { u"-u", u"ec.bin" }, { u"-v", u"ec.bin" }, { u"-c", u"00000000", u"ec.bin" }, { u"-s", u"save.bin", u"ec.bin" },
  };

  for (const auto &Args : Cases) {
    SetUp ();
    AddImage ({});

    EXPECT_EQ (Run (Args), EFI_INVALID_PARAMETER) << Args.size ();
    EXPECT_EQ (Fake::RowText (13), "ec.bin is empty; nothing was flashed.");
    EXPECT_TRUE (NoPortTouched ());
  }
}

// Every way a save can fail ends the run before the first erase, with the
// partial file gone and the EC left as it was.
TEST_F (ModesTest, FailedSaveEndsBeforeTheFirstErase) {
  struct Case {
    const char  *Name;
    void        (*Fault)(EC_SIM *);
    EFI_STATUS  Status;
    const char  *Line;
  };
  const Case  Cases[] = {
    { "cannot create", [](EC_SIM *) { Fake::gState->OpenFails[SAVE] = EFI_WRITE_PROTECTED; },
      EFI_WRITE_PROTECTED, "Save failed: FS0:\\images\\save.bin cannot be created (Write Protected). The EC flash was not changed." },
    { "write fails", [](EC_SIM *) { Fake::gState->FailWriteAt = 3; },
      EFI_WRITE_PROTECTED, "Save failed at block 1: FS0:\\images\\save.bin cannot be written (Write Protected). The EC flash was not changed." },
    { "short write", [](EC_SIM *) { Fake::gState->ShortWriteAt = 2; },
      EFI_VOLUME_FULL, "Save failed at block 0: FS0:\\images\\save.bin cannot be written (Volume Full). The EC flash was not changed." },
    { "copy differs", [](EC_SIM *) { Fake::gState->CorruptWriteAt = 4; },
      EFI_CRC_ERROR, "Save failed: the copy in FS0:\\images\\save.bin is not what the EC gave (CRC Error). The EC flash was not changed." },
    { "read-back late", [](EC_SIM *Sim) { Sim->Faults.LateByte = 1 + BLOCK + 10; Sim->Faults.LateReads = 600; },
      EFI_TIMEOUT, "Save failed at block 1: the EC did not answer in time. The EC flash was not changed." },
  };

  for (const Case &C : Cases) {
    SetUp ();
    OldFirmware (2);
    const std::vector<UINT8>  Before (Flash.begin (), Flash.begin () + 2 * BLOCK);
    AddImage (RandomImage (2 * BLOCK));
    C.Fault (Sim.get ());

    EXPECT_EQ (Run ({ u"-s", u"save.bin", u"ec.bin" }), C.Status) << C.Name;

    EXPECT_NE (Printed ().find (std::string (C.Line) + "??"), std::string::npos) << C.Name << ": " << Printed ();
    EXPECT_EQ (Fake::gState->Files.count (SAVE), 0u) << C.Name;
    EXPECT_TRUE (NoEraseOrProgram ()) << C.Name;
    EXPECT_TRUE (std::equal (Before.begin (), Before.end (), Flash.begin ())) << C.Name;
    EXPECT_EQ (RecordText ().end ()[-2], "C:FE") << C.Name;
    EXPECT_EQ (RecordText ().back (), "K:AE") << C.Name;
    EXPECT_EQ (Printed ().find ("power"), std::string::npos) << C.Name;
  }
}

}  // namespace
