/** @file
  What a run records and checks around the devices: the run log and its
  fields, the expected CRC-32, the watchdog, and a missing keyboard
  controller.

**/

#include "RunTest.h"

#include "Crc32.h"
#include "EcFlash.h"

namespace {

constexpr size_t  BLOCK = 0x10000;

constexpr const char16_t  *LOG = u"FS0:\\images\\run.log";

const std::vector<UINT8>  UUID = { 0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                   0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF };

class RunLogTest : public RunTest {
protected:
  std::string
  Log (
    ) const
  {
    auto  Found = Fake::gState->Files.find (LOG);

    return (Found == Fake::gState->Files.end ()) ? "" : std::string (Found->second.Data.begin (), Found->second.Data.end ());
  }

  static std::string
  Hex (
    UINT32  Value
    )
  {
    char  Text[16];

    snprintf (Text, sizeof (Text), "%08X", Value);
    return Text;
  }
};

TEST_F (RunLogTest, FlashLogsEveryFieldBeforeItsLastLine) {
  auto  Image = RandomImage (2 * BLOCK);

  AddImage (Image);
  Fake::PublishSmbios ("ABC 123", UUID);

  EXPECT_EQ (Run ({ u"-l", u"run.log", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (
    Log (),
    "2026-12-07 09:30:05 mode=flash image=\"FS0:\\images\\ec.bin\" size=131072 crc32=" +
    Hex (Crc32Update (0, Image.data (), Image.size ())) +
    " blocks=2/2 id=0xEF serial=ABC_123 uuid=00112233-4455-6677-8899-AABBCCDDEEFF elapsed=1 status=0x0"
    " outcome=\"Morvane finished, remove power and reboot.\"\r\n"
    );
  EXPECT_LT (Fake::Find ("close", LOG), Fake::Find ("print", u"Morvane finished"));
  EXPECT_EQ (Fake::RowText (15), "Morvane finished, remove power and reboot.");
}

TEST_F (RunLogTest, FailedRunsAndRefusalsAreLoggedToo) {
  auto  Image = RandomImage (BLOCK);
  UINT32  Crc = Crc32Update (0, Image.data (), Image.size ());

  AddImage (Image);
  Fake::gState->Files[LOG].Data = { 'o', 'l', 'd', '\r', '\n' };
  Sim->Faults.CorruptBlock    = 0;
  Sim->Faults.CorruptAttempts = EC_SIM_NEVER;

  EXPECT_EQ (Run ({ u"-l", u"run.log", u"ec.bin" }), EFI_DEVICE_ERROR);

  // A refusal before any device, in a fresh run: the CRC does not match.
  auto  Kept = Fake::gState->Files[LOG];
  SetUp ();
  AddImage (Image);
  Fake::gState->Files[LOG] = Kept;
  EXPECT_EQ (Run ({ u"-c", u"0BADF00D", u"-l", u"run.log", u"ec.bin" }), EFI_COMPROMISED_DATA);
  EXPECT_TRUE (NoPortTouched ());

  const std::string  Text = Log ();
  EXPECT_EQ (Text.substr (0, 5), "old\r\n") << "the log is appended to";
  EXPECT_NE (Text.find (" blocks=0/1 id=0xEF serial=- uuid=- elapsed="), std::string::npos) << Text;
  EXPECT_NE (Text.find (" status=0x7 outcome=\"Block 0 never verified. EC flash incomplete: keep power on, flash again.\"\r\n"),
             std::string::npos) << Text;
  EXPECT_NE (Text.find (" status=0x21 outcome=\"Image CRC-32 is " + Hex (Crc) + ", expected 0BADF00D; nothing was flashed.\"\r\n"),
             std::string::npos) << Text;
  EXPECT_NE (Text.find ("blocks=0/0 id=- "), std::string::npos) << "the refused run never read the ID";
}

TEST_F (RunLogTest, SaveAloneIsLoggedWithoutAnImage) {
  EXPECT_EQ (Run ({ u"-s", u"save.bin", u"-n", u"2", u"-l", u"run.log" }), EFI_SUCCESS);

  EXPECT_NE (Log ().find ("mode=save image=\"-\" size=- crc32=- blocks=2/2 "), std::string::npos) << Log ();
}

// A factory line must never flash unlogged.
TEST_F (RunLogTest, UnopenableLogStopsTheRun) {
  AddImage (RandomImage (BLOCK));
  Fake::gState->OpenFails[LOG] = EFI_WRITE_PROTECTED;

  EXPECT_EQ (Run ({ u"-l", u"run.log", u"ec.bin" }), EFI_WRITE_PROTECTED);

  EXPECT_EQ (Fake::RowText (13), "The run log FS0:\\images\\run.log cannot be opened (Write Protected); nothing was done.");
  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (RunLogTest, UnwritableLogIsSaidAndTheStatusKept) {
  auto  Image = RandomImage (BLOCK);

  AddImage (Image);
  Fake::gState->FailWriteAt = 1;

  EXPECT_EQ (Run ({ u"-l", u"run.log", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (Fake::RowText (15), "The run log could not be written (Write Protected).");
  EXPECT_EQ (Fake::RowText (16), "Morvane finished, remove power and reboot.");
}

TEST_F (RunLogTest, MatchingCrcFlashesAndAMismatchTouchesNothing) {
  auto  Image = RandomImage (BLOCK + 100);
  auto  Crc   = Hex (Crc32Update (0, Image.data (), Image.size ()));

  AddImage (Image);
  std::u16string  Lower;
  for (char C : Crc) {
    Lower.push_back (static_cast<char16_t>(std::tolower (C)));
  }

  EXPECT_EQ (Run ({ u"-c", Lower, u"ec.bin" }), EFI_SUCCESS);
  EXPECT_EQ (Sim->Programs[0], 1u);

  SetUp ();
  Image[BLOCK + 50] ^= 0x01;
  AddImage (Image);
  EXPECT_EQ (Run ({ u"-c", Lower, u"ec.bin" }), EFI_COMPROMISED_DATA);
  EXPECT_EQ (Fake::RowText (13), "Image CRC-32 is " + Hex (Crc32Update (0, Image.data (), Image.size ())) + ", expected " + Crc +
            "; nothing was flashed.");
  EXPECT_TRUE (NoPortTouched ());
}

// Every mode, the plain flash included, runs with the watchdog off.
TEST_F (RunLogTest, WatchdogIsOffBeforeAnyPortAccess) {
  AddImage (RandomImage (100));

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (Fake::gState->WatchdogTimeout, 0);
  EXPECT_EQ (Fake::gState->WatchdogAtAccess, 0u);
}

// No 8042 at 0x64: said once, a second's wait at each end, and the run's
// status is its own.
TEST_F (RunLogTest, MissingKeyboardControllerIsSaidOnce) {
  auto  Image = RandomImage (BLOCK);

  AddImage (Image);
  Sim->Faults.KbcBusyReads = 0xFFFFFFFF;
  Sim->KbcBusyLeft         = 0xFFFFFFFF;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);

  EXPECT_EQ (Fake::RowText (13), "The keyboard controller did not answer; going on without it.");
  EXPECT_EQ (Count (Printed (), "keyboard controller"), 1u);
  EXPECT_EQ (Fake::RowText (15), "Morvane finished, remove power and reboot.");
  EXPECT_LE (Fake::gState->ClockUs, 1000000u + 2 * KBC_IBF_TIMEOUT_US + 1000000u);
}

}  // namespace
