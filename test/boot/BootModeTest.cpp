/** @file
  Morvane started by the firmware without a shell: MORVANE.CFG on its own
  volume, the save, the flash, MORVANE.LOG, the banner and the operator's
  key; and the rules those follow.

**/

#include "BootTest.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>

#include "BootMode.h"
#include "EcVersionRecord.h"

namespace {

constexpr size_t  BLOCK = 0x10000;

class BootModeTest : public BootTest {
public:

  // A stick: MORVANE.CFG and the image beside Morvane.efi.
  std::vector<UINT8>
  Stick (
    size_t              Blocks,
    const std::string  &Extra = "model=MORV 7\r\n"
    )
  {
    auto  Image = RandomImage (Blocks * BLOCK, 7);
    char  Crc[16];

    snprintf (Crc, sizeof (Crc), "%08X", Crc32 (Image));
    File (u"\\ec.bin") = Image;
    File (u"\\MORVANE.CFG") = Bytes ("image=ec.bin\r\ncrc32=" + std::string (Crc) + "\r\n" + Extra);
    return Image;
  }

  static UINT32
  Crc32 (
    const std::vector<UINT8>  &Data
    )
  {
    UINT32  Crc = 0xFFFFFFFF;

    for (UINT8 Byte : Data) {
      Crc ^= Byte;
      for (int Bit = 0; Bit < 8; Bit++) {
        Crc = (Crc >> 1) ^ (0xEDB88320 & (0 - (Crc & 1)));
      }
    }

    return ~Crc;
  }

  static std::vector<UINT8>
  Bytes (
    const std::string  &Text
    )
  {
    return std::vector<UINT8>(Text.begin (), Text.end ());
  }

  std::vector<UINT8> &
  File (
    const std::u16string  &Path
    )
  {
    return Fake::gState->Files[Path].Data;
  }

  bool
  Has (
    const std::u16string  &Path
    ) const
  {
    return Fake::gState->Files.count (Path) != 0;
  }

  std::vector<std::string>
  LogLines (
    )
  {
    std::vector<std::string>  Lines;
    std::string               Text (File (u"\\MORVANE.LOG").begin (), File (u"\\MORVANE.LOG").end ());

    for (size_t At = 0, End; (End = Text.find ("\r\n", At)) != std::string::npos; At = End + 2) {
      Lines.push_back (Text.substr (At, End - At));
    }

    return Lines;
  }

  EFI_STATUS
  Boot (
    const std::u16string  &Keys = u" "
    )
  {
    EFI_STATUS  Status = StartByFirmware (Keys);

    EXPECT_EQ (Fake::gState->OpenHandles, 0u) << "file left open";
    EXPECT_EQ (Fake::gState->WatchdogTimeout, 0) << "the watchdog must be off while the operator reads";
    EXPECT_TRUE (Fake::gState->Keys.empty ()) << "a key was left untyped";
    return Status;
  }

  // A capsule made for the machine named Maker Model (test/CMakeLists.txt).
  static std::vector<UINT8>
  Load (
    const char  *Name
    )
  {
    std::ifstream  In (std::string (MACHINE_CAPSULES "/") + Name, std::ios::binary);

    return std::vector<UINT8>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  }

  std::vector<UINT8>
  OldFirmware (
    size_t  Blocks
    )
  {
    return std::vector<UINT8>(Flash.begin (), Flash.begin () + Blocks * BLOCK);
  }
};

TEST_F (BootModeTest, FlashesSavesLogsAndReturnsToTheFirmwareOnAKey) {
  std::fill (Flash.begin (), Flash.end (), 0x5A);
  auto  Old   = OldFirmware (2);
  auto  Image = Stick (2);

  File (u"\\SAVE001.BIN") = Bytes ("kept");
  Fake::gState->SecureBoot = 1;

  EXPECT_EQ (Boot (), EFI_SUCCESS);

  EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
  EXPECT_EQ (File (u"\\SAVE001.BIN"), Bytes ("kept")) << "a save is never overwritten";
  EXPECT_EQ (File (u"\\SAVE002.BIN"), Old);
  auto  Lines = LogLines ();
  ASSERT_EQ (Lines.size (), 1u);
  EXPECT_NE (Lines[0].find (" mode=flash image=\"\\ec.bin\" size=131072 "), std::string::npos) << Lines[0];
  EXPECT_NE (Lines[0].find (" status=0x0 product=\"Morv 7\" ec=flashed changed=2 secureboot=on signer=- version=- outcome=\"Morvane finished: 2 of 2 blocks rewritten"),
             std::string::npos) << Lines[0];
  const std::string  Screen = Printed ();
  EXPECT_NE (Screen.find ("Morvane will check ec.bin (131072 bytes, CRC-32 "), std::string::npos);
  EXPECT_NE (Screen.find ("saved to SAVE002.BIN first"), std::string::npos);
  EXPECT_NE (Screen.find ("EC FLASH DONE. Remove power, then reboot the machine."), std::string::npos);
  EXPECT_NE (Screen.find ("old firmware: SAVE002.BIN."), std::string::npos);
  EXPECT_NE (Screen.find ("Press a key to return to the firmware."), std::string::npos);
  EXPECT_LT (Fake::Find ("close", u"\\MORVANE.LOG"), Fake::Find ("print", u"EC FLASH DONE"));
  EXPECT_EQ (Fake::gState->KeyWaits, 1u);
}

// Block 1 fails its first 8 programs: the first attempt ends with the EC
// half-written; a key flashes again without a new save, and the second
// attempt rewrites only what still differs.
TEST_F (BootModeTest, AFailureRetriesInPlaceWithoutANewSaveAfterAnErase) {
  std::fill (Flash.begin (), Flash.end (), 0x5A);
  auto  Old   = OldFirmware (2);
  auto  Image = Stick (2);

  Sim->Faults.CorruptBlock    = 1;
  Sim->Faults.CorruptAttempts = 8;
  Fake::gState->PortBudget   *= 4;

  EXPECT_EQ (Boot (u"  "), EFI_SUCCESS);

  EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
  EXPECT_EQ (File (u"\\SAVE001.BIN"), Old);
  EXPECT_FALSE (Has (u"\\SAVE002.BIN"));
  auto  Lines = LogLines ();
  ASSERT_EQ (Lines.size (), 2u);
  EXPECT_NE (Lines[0].find (" status=0x7 product=\"Morv 7\" ec=incomplete changed=2 secureboot=off "), std::string::npos) << Lines[0];
  EXPECT_NE (Lines[1].find (" status=0x0 product=\"Morv 7\" ec=flashed changed=1 secureboot=off "), std::string::npos) << Lines[1];
  const std::string  Screen = Printed ();
  EXPECT_EQ (Count (Screen, "EC FLASH FAILED. DO NOT REMOVE POWER."), 1u);
  EXPECT_LT (Screen.find ("Press a key to flash again."), Screen.find ("EC FLASH DONE."));
  EXPECT_NE (Screen.find ("No new save: the EC may be half-written."), std::string::npos);
  EXPECT_EQ (Fake::gState->KeyWaits, 2u);
}

// An EC that stops taking bytes in the first attempt's program: the later
// attempts fail before any erase, yet the EC stays half-written for each of
// them, so none saves it and none says nothing was changed.
TEST_F (BootModeTest, AnEraseInAnyEarlierAttemptKeepsTheFailedBanner) {
  Stick (1);
  Sim->Faults.StuckAfterBytes = 1000;
  // Each retry waits for the EC again (10 s) before it gives up.
  Fake::gState->ClockBudgetUs = 60000000;

  EXPECT_THROW (Boot (u"  "), Fake::BudgetSpent);

  const std::string  Screen = Printed ();
  EXPECT_EQ (Count (Screen, "EC FLASH FAILED. DO NOT REMOVE POWER."), 3u);
  EXPECT_EQ (Count (Screen, "NOTHING WAS CHANGED"), 0u);
  EXPECT_EQ (Count (Screen, "No new save: the EC may be half-written."), 2u);
  EXPECT_FALSE (Has (u"\\SAVE002.BIN"));
  auto  Lines = LogLines ();
  ASSERT_EQ (Lines.size (), 3u);
  EXPECT_NE (Lines[0].find (" ec=incomplete changed=1 "), std::string::npos) << Lines[0];
  EXPECT_NE (Lines[1].find (" ec=incomplete changed=0 "), std::string::npos) << "the EC is still half-written: " << Lines[1];
  EXPECT_EQ (Lines[1].find ("The EC flash was not changed."), std::string::npos) << Lines[1];
}

// A run refused before any erase leaves the EC as it was: the banner says
// so, and the retry saves again.
TEST_F (BootModeTest, ARefusedRunSaysNothingChangedAndTheRetrySavesAgain) {
  Stick (1, "model=Other 9\r\nupdate=no\r\n");

  EXPECT_THROW (Boot (u" "), Fake::BudgetSpent) << "a failure never returns to the firmware";

  EXPECT_EQ (Count (Printed (), "NOTHING WAS CHANGED. The machine may be switched off."), 2u);
  EXPECT_EQ (Count (Printed (), "saved to SAVE001.BIN first"), 2u);
  EXPECT_TRUE (NoPortTouched ());
  EXPECT_EQ (LogLines ().size (), 2u);
}

// A capsule whose signature Morvane checks needs no crc32= (the signature
// covers it) nor model= (its hardware ID names the machines). Without
// crc32=, a raw image, or a capsule from a Morvane that trusts no signer,
// has nothing to check it by: refused once read, before any port.
TEST_F (BootModeTest, WithoutCrcOnlyACapsuleWhoseSignatureIsCheckedIsTaken) {
  const auto  Capsule = Load ("good.cap");
  const auto  Payload = Load ("ec.bin");

  Fake::gState->TrustedCert = Load ("root.cer");
  Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0), "Model");
  File (u"\\ec.cap")      = Capsule;
  File (u"\\MORVANE.CFG") = Bytes ("image=ec.cap\r\n");

  EXPECT_EQ (Boot (), EFI_SUCCESS);

  EXPECT_TRUE (std::equal (Payload.begin (), Payload.end (), Flash.begin ()));
  auto  Lines = LogLines ();
  ASSERT_EQ (Lines.size (), 1u);
  EXPECT_NE (Lines[0].find (" signer=\"TestCert\" version=0x00000200 outcome=\"Morvane finished: 1 of 1 blocks rewritten"), std::string::npos) << Lines[0];
  EXPECT_NE (Printed ().find ("Morvane will check ec.cap (" + std::to_string (Capsule.size ()) + " bytes) and flash it onto this machine's EC if it may."),
             std::string::npos) << Printed ();

  for (const char *Image : { "ec.cap", "ec.bin" }) {
    SCOPED_TRACE (Image);
    SetUp ();
    Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0), "Model");
    Stick (1, "");
    File (u"\\ec.cap")      = Capsule;
    File (u"\\MORVANE.CFG") = Bytes ("image=" + std::string (Image) + "\r\n");

    EXPECT_THROW (Boot (u" "), Fake::BudgetSpent) << "a refused run never returns to the firmware";

    EXPECT_EQ (Fake::RowText (13), "MORVANE.CFG has no crc32= line; nothing was done.");
    EXPECT_TRUE (NoPortTouched ());
  }
}

// "Do not remove power" only from the first erase on: a machine refused
// before it (another model, no EC) is never told so; a flash is told just
// before its first erase, until the banner.
TEST_F (BootModeTest, DoNotRemovePowerIsSaidOnlyOnceTheFirstEraseGoes) {
  struct Case { const char *What; const char *Extra; BOOLEAN NoDevice; };
  for (const Case &C : { Case{ "another model", "model=Other 9\r\n", FALSE }, Case{ "no EC", "", TRUE } }) {
    SetUp ();
    Stick (1, C.Extra);
    Sim->Faults.NoDevice = C.NoDevice;

    EXPECT_THROW (Boot (u" "), Fake::BudgetSpent) << C.What;

    const std::string  Screen = Printed ();
    EXPECT_NE (Screen.find ("NOTHING WAS CHANGED. The machine may be switched off."), std::string::npos) << C.What;
    EXPECT_EQ (Screen.find ("emove power"), std::string::npos) << C.What << ": " << Screen;
  }

  SetUp ();
  Stick (2);

  EXPECT_EQ (Boot (), EFI_SUCCESS);

  size_t  Said  = Fake::Find ("print", u"Flashing: do not remove power.");
  size_t  Erase = FirstErase ();

  ASSERT_NE (Said, std::string::npos);
  EXPECT_LT (Said, Erase);
  EXPECT_GT (Said, Fake::Find ("close", u"\\SAVE001.BIN")) << "the save comes first";
  EXPECT_EQ (Fake::RowText (3), "") << "the banner takes the warning's place";
}

// Whatever refuses the stick before the first attempt leaves the devices
// untouched, says why, and a key returns to the firmware.
TEST_F (BootModeTest, RefusalsBeforeAnyAttemptTouchNothing) {
  struct Case {
    const char                   *What;
    std::function<void (BootModeTest &)>  Arrange;
    const char                   *Message;
  };
  const Case  Cases[] = {
    { "no MORVANE.CFG", [](BootModeTest &T) { T.Stick (1); Fake::gState->Files.erase (u"\\MORVANE.CFG"); },
      "MORVANE.CFG not found beside Morvane.efi; nothing was done." },
    { "Morvane not on a file system", [](BootModeTest &T) { T.Stick (1); Fake::gState->HasVolume = FALSE; },
      "MORVANE.CFG not found beside Morvane.efi; nothing was done." },
    { "a bad line", [](BootModeTest &T) { T.Stick (1, "imgae=x\r\n"); },
      "MORVANE.CFG line 3: unknown key 'imgae'; nothing was done." },
    { "no image", [](BootModeTest &T) { T.Stick (1); Fake::gState->Files.erase (u"\\ec.bin"); },
      "MORVANE.CFG names the image ec.bin, which is not a file beside Morvane.efi (Not Found); nothing was done." },
    { "a folder for an image", [](BootModeTest &T) {
        T.Stick (1); Fake::gState->Files.erase (u"\\ec.bin"); Fake::gState->Directories.push_back (u"\\ec.bin"); },
      "MORVANE.CFG names the image ec.bin, which is not a file beside Morvane.efi (Unsupported); nothing was done." },
    { "every save taken", [](BootModeTest &T) {
        T.Stick (1);
        for (UINTN N = BOOT_FIRST_SAVE; N <= BOOT_LAST_SAVE; N++) {
          CHAR16  Path[BOOT_NAME_CHARS];
          BootSavePath (N, Path, sizeof (Path));
          T.File (reinterpret_cast<const char16_t *>(Path)) = Bytes ("x");
        }
      },
      "SAVE001.BIN to SAVE099.BIN are all taken: make room on the stick. Nothing was flashed." },
  };

  for (const auto &C : Cases) {
    SetUp ();
    C.Arrange (*this);
    EXPECT_NE (Boot (), EFI_SUCCESS) << C.What;
    EXPECT_EQ (Fake::RowText (13), C.Message) << C.What;
    EXPECT_NE (Printed ().find ("Nothing was changed. Press a key to return to the firmware."), std::string::npos) << C.What;
    EXPECT_TRUE (NoPortTouched ()) << C.What;
    EXPECT_FALSE (Has (u"\\MORVANE.LOG")) << C.What;
  }
}

// A stick carrying a catalogue: the machine (Maker Model, whose
// HardwareID-9 the capsules of MACHINE_CAPSULES name) picks its own
// capsule beside the index, or touches nothing; the index bounds what is
// read of the capsule, as a depot's fetch.
TEST_F (BootModeTest, AStickCatalogueDecidesWhatIsFlashed) {
  const auto  Capsule = Load ("good.cap");
  const auto  Payload = Load ("ec.bin");

  struct Case {
    const char   *What;
    const char   *Hwid;        // this capsule's entry's HWID; nullptr: the machine's own
    INT64        SizeChange;   // added to the capsule's size in its entry
    UINT32       Record;       // the EC's version record; 0: none
    EFI_STATUS   Status;
    std::string  Said;         // on the screen
    const char   *Logged;      // in MORVANE.LOG's line ("": no line)
    bool         Flashed;
    bool         LogRefused = false;   // MORVANE.LOG cannot be opened
  };
  const Case  Cases[] = {
    { "its capsule is chosen and flashed", nullptr, 0, 0, EFI_SUCCESS, "EC FLASH DONE.",
      " status=0x0 product=\"Model\" ec=flashed changed=1 secureboot=off signer=unchecked version=0x00000200 ", true },
    { "no image for this machine", "0d7e9b6c-3f8a-5c1e-9b2d-4a6f8e0c1d3b", 0, 0, EFI_NOT_FOUND,
      "NO IMAGE FOR THIS MACHINE. Nothing was changed.", " status=0xE ", false },
    { "the record names the newest version offered", nullptr, 0, 0x200, EFI_SUCCESS,
      "EC ALREADY UP TO DATE. Nothing was changed.", " status=0x0 product=\"Model\" ec=unchanged changed=0 ", false },
    { "a capsule larger than its entry's SIZE", nullptr, -1, 0, EFI_BAD_BUFFER_SIZE,
      "The image ec.cap is larger than CATALOG.TXT says (" + std::to_string (Capsule.size () - 1) +
      " bytes); nothing was done.", "", false },
    { "up to date, but its line cannot be written: a key still returns", nullptr, 0, 0x200, EFI_WRITE_PROTECTED,
      "Press a key to return to the firmware.", "", false, true },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.What);
    SetUp ();
    auto  Old = OldFirmware (1);
    if (C.LogRefused) {
      Fake::gState->OpenFails[u"\\MORVANE.LOG"] = EFI_WRITE_PROTECTED;
    }

    Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0), "Model");
    if (C.Record != 0) {
      MORVANE_EC_VERSION_RECORD  Record = { C.Record, 0x80 };
      ASSERT_EQ (EcVersionRecordWrite (&Record), EFI_SUCCESS);
    }

    char  Line[160];
    snprintf (Line, sizeof (Line), "ec.cap %s 0x00000200 0x00000080 %lld %08X 100\n", C.Hwid ? C.Hwid : MACHINE_HWID,
              static_cast<long long>(Capsule.size ()) + static_cast<long long>(C.SizeChange), Crc32 (Capsule));
    File (u"\\CATALOG.TXT") = Bytes ("morvane-catalog 1\n" + std::string (Line));
    File (u"\\ec.cap")      = Capsule;
    // update=no: the record decides "up to date" (NetBootTest has the EC decide it).
    File (u"\\MORVANE.CFG") = Bytes ("catalog=CATALOG.TXT\r\nupdate=no\r\nsave=no\r\n");

    EXPECT_EQ (Boot (), C.Status);

    EXPECT_NE (Printed ().find (C.Said), std::string::npos) << Printed ();
    const auto  Lines = Has (u"\\MORVANE.LOG") ? LogLines () : std::vector<std::string>();
    EXPECT_EQ (Lines.size (), *C.Logged != 0 ? 1u : 0u);
    if (!Lines.empty ()) {
      EXPECT_NE (Lines[0].find (C.Logged), std::string::npos) << Lines[0];
    }

    if (C.Flashed) {
      EXPECT_TRUE (std::equal (Payload.begin (), Payload.end (), Flash.begin ()));
    } else {
      EXPECT_TRUE (NoPortTouched ());
      EXPECT_TRUE (std::equal (Old.begin (), Old.end (), Flash.begin ()));
    }
  }
}

TEST (BootRulesTest, BannerRetryAndSaveFollowWhatTheEcHolds) {
  struct Case {
    EFI_STATUS    Status;
    BOOLEAN       ErasedNow;
    BOOLEAN       ErasedBefore;
    BOOT_BANNER   Banner;
    BOOLEAN       Retries;
    BOOLEAN       NextSaves;
  };
  const Case  Cases[] = {
    { EFI_SUCCESS,          TRUE,  FALSE, BannerDone,           FALSE, FALSE },
    { EFI_SUCCESS,          FALSE, FALSE, BannerUpToDate,       FALSE, TRUE  },
    { EFI_SUCCESS,          FALSE, TRUE,  BannerDone,           FALSE, FALSE },   // -u found nothing left after a failed attempt
    { EFI_DEVICE_ERROR,     TRUE,  FALSE, BannerFailed,         TRUE,  FALSE },
    { EFI_UNSUPPORTED,      FALSE, FALSE, BannerNothingChanged, TRUE,  TRUE  },
    { EFI_TIMEOUT,          FALSE, TRUE,  BannerFailed,         TRUE,  FALSE },   // a retry that stops before its erase
  };

  for (const auto &C : Cases) {
    BOOT_BANNER  Banner = BootBanner (C.Status, C.ErasedNow, C.ErasedBefore);
    EXPECT_EQ (Banner, C.Banner);
    EXPECT_EQ (BootRetries (Banner), C.Retries);
    EXPECT_EQ (BootSaves (TRUE, C.ErasedNow || C.ErasedBefore), C.NextSaves);
    EXPECT_FALSE (BootSaves (FALSE, FALSE)) << "save=no";
  }

  CHAR16  Path[BOOT_NAME_CHARS];
  BootSavePath (7, Path, sizeof (Path));
  EXPECT_EQ (Fake::Narrow (reinterpret_cast<const char16_t *>(Path)), "\\SAVE007.BIN");
}

}  // namespace
