/** @file
  What a run records and checks around the devices: the run log and its
  fields, the expected CRC-32, the watchdog, and a missing keyboard
  controller.

**/

#include "RunTest.h"

#include "Crc32.h"
#include "EcFlash.h"

#include <algorithm>
#include <cstring>

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
    " product=\"Model\" ec=flashed changed=2 secureboot=off signer=- version=- outcome=\"Morvane finished, remove power and reboot.\"\r\n"
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
  EXPECT_NE (Text.find (" status=0x7 product=- ec=incomplete changed=1 secureboot=off signer=- version=- outcome=\"Block 0 never verified. EC flash incomplete: keep power on, flash again.\"\r\n"),
             std::string::npos) << Text;
  EXPECT_NE (Text.find (" status=0x21 product=- ec=unchanged changed=0 secureboot=off signer=- version=- outcome=\"Image CRC-32 is " + Hex (Crc) + ", expected 0BADF00D; nothing was flashed.\"\r\n"),
             std::string::npos) << Text;
  EXPECT_NE (Text.find ("blocks=0/0 id=- "), std::string::npos) << "the refused run never read the ID";
}

// What the EC flash holds after a run, as the log tells it: a failure
// before the first erase leaves it unchanged, and says so on the screen.
TEST_F (RunLogTest, EcStateSaysWhetherAnEraseWasSent) {
  struct Case {
    const char                    *What;
    std::vector<std::u16string>   Args;
    BOOLEAN                       NoDevice;
    UINT32                        StuckAfter;
    EFI_STATUS                    Status;
    const char                    *Tail;
    UINT32                        ObfAfter = EC_SIM_NEVER;
  };
  const Case  Cases[] = {
    { "an EC that falls silent on -u's compare", { u"-u", u"-l", u"run.log", u"ec.bin" }, FALSE, 0, EFI_TIMEOUT,
      " ec=unchanged changed=0 secureboot=off signer=- version=- outcome=\"EC not answering at block 0. The EC flash was not changed.\"\r\n", 1 + 100 },
    { "no EC at all", { u"-l", u"run.log", u"ec.bin" }, TRUE, 0, EFI_TIMEOUT,
      " ec=unchanged changed=0 secureboot=off signer=- version=- outcome=\"EC not answering at block 0. The EC flash was not changed.\"\r\n" },
    { "an EC that stops in the first erase", { u"-l", u"run.log", u"ec.bin" }, FALSE, 2 + 2, EFI_TIMEOUT,
      " ec=incomplete changed=1 secureboot=off signer=- version=- outcome=\"EC not answering at block 0. EC flash incomplete: keep power on, flash again.\"\r\n" },
    { "a verify", { u"-v", u"-l", u"run.log", u"ec.bin" }, FALSE, 0, EFI_CRC_ERROR,
      " ec=unchanged changed=0 secureboot=off signer=- version=- outcome=\"EC flash differs from the image in 1 of 1 blocks; first at block 0.\"\r\n" },
    { "a save alone", { u"-s", u"s.bin", u"-n", u"1", u"-l", u"run.log" }, FALSE, 0, EFI_SUCCESS,
      " ec=unchanged changed=0 secureboot=off signer=- version=- outcome=\"EC flash saved: 1 blocks to FS0:\\images\\s.bin.\"\r\n" },
  };

  for (const auto &C : Cases) {
    SetUp ();
    AddImage (RandomImage (BLOCK));
    Sim->Faults.NoDevice        = C.NoDevice;
    if (C.StuckAfter != 0) {
      Sim->Faults.StuckAfterBytes = C.StuckAfter;
    }

    Sim->Faults.ObfAfterBytes = C.ObfAfter;

    EXPECT_EQ (Run (C.Args), C.Status) << C.What;

    const std::string  Text = Log ();
    ASSERT_GT (Text.size (), strlen (C.Tail)) << C.What;
    EXPECT_EQ (Text.substr (Text.size () - strlen (C.Tail)), C.Tail) << C.What;
  }
}

// -m: only the product the image is for; anything else is refused before
// any port, in every mode, and logged.
TEST_F (RunLogTest, ModelMustBeTheMachinesProduct) {
  struct Case {
    const char        *Product;     // nullptr: no SMBIOS at all
    const char16_t    *Model;
    EFI_STATUS        Status;
    const char        *Refusal;
  };
  const Case  Cases[] = {
    { "Morv 7 \"Pro\"", u"Morv 7 \"Pro\"", EFI_SUCCESS, nullptr },
    { "Morv 7 \"Pro\"", u"Morv 7 'Pro'", EFI_UNSUPPORTED, "This machine is Morv 7 'Pro'; the image is for Morv 7 'Pro'. Nothing was flashed." },
    { "Mod\xC3\xA9le 7", u"Mod??le 7", EFI_UNSUPPORTED, "This machine is Mod??le 7; the image is for Mod??le 7. Nothing was flashed." },
    { "  MORV 7  ", u"morv 7", EFI_SUCCESS, nullptr },
    { "Morv 7", u" Morv 7 ", EFI_SUCCESS, nullptr },
    { "Morv 8", u"Morv 7", EFI_UNSUPPORTED, "This machine is Morv 8; the image is for Morv 7. Nothing was flashed." },
    { "Morv 7 Pro", u"Morv 7", EFI_UNSUPPORTED, "This machine is Morv 7 Pro; the image is for Morv 7. Nothing was flashed." },
    { "", u"Morv 7", EFI_UNSUPPORTED, "This machine is -; the image is for Morv 7. Nothing was flashed." },
    { nullptr, u"Morv 7", EFI_UNSUPPORTED, "This machine is -; the image is for Morv 7. Nothing was flashed." },
  };
  const std::vector<std::vector<std::u16string>>  Modes = { { u"ec.bin" }, { u"-v", u"ec.bin" }, { u"-s", u"s.bin", u"-n", u"1" } };

  for (const auto &C : Cases) {
    for (const auto &Mode : Modes) {
      SetUp ();
      auto  Image = RandomImage (BLOCK);
      AddImage (Image);
      std::copy (Image.begin (), Image.end (), Flash.begin ());
      if (C.Product != nullptr) {
        Fake::PublishSmbios ("S1", UUID, C.Product);
      }

      std::vector<std::u16string>  Args{ u"-m", C.Model, u"-l", u"run.log" };
      Args.insert (Args.end (), Mode.begin (), Mode.end ());
      EXPECT_EQ (Run (Args), C.Status) << (C.Product ? C.Product : "no SMBIOS");
      if (C.Refusal != nullptr) {
        EXPECT_TRUE (NoPortTouched ());
        EXPECT_EQ (Fake::RowText (13), C.Refusal);
        EXPECT_NE (Log ().find (" ec=unchanged changed=0 secureboot=off signer=- version=- outcome=\"" + std::string (C.Refusal)), std::string::npos) << Log ();
      }
    }
  }

  EXPECT_NE (Log ().find (" product=- ec="), std::string::npos) << "a machine without SMBIOS names no product";
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
