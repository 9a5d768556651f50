/** @file
  Morvane booted from a depot: the depot found in the device path, the
  settings and the image fetched once, the save kept in memory and sent,
  the results at the depot.

**/

#include "BootTest.h"

#include <algorithm>
#include <fstream>
#include <iterator>

extern "C" {
#include <Protocol/DevicePath.h>
}

#include "Crc32.h"
#include "Depot.h"
#include "EcVersionRecord.h"
#include "NetBoot.h"

namespace {

constexpr size_t  BLOCK = 0x10000;

// The run's start time follows: each attempt has its own.
constexpr const char  *NAME = "/results/20261207/S1-525400123456-20261207-0930";

// A device path node: type, subtype, little-endian length, payload.
void
AddNode (
  std::vector<UINT8>  &Path,
  UINT8               Type,
  UINT8               SubType,
  const std::string   &Payload
  )
{
  size_t  Length = 4 + Payload.size ();

  Path.insert (Path.end (), { Type, SubType, static_cast<UINT8>(Length), static_cast<UINT8>(Length >> 8) });
  Path.insert (Path.end (), Payload.begin (), Payload.end ());
}

// The device path HTTP boot leaves: PCI, MAC, IPv4, URI of the boot file.
std::vector<UINT8>
HttpBootPath (
  const std::string  &Uri
  )
{
  std::vector<UINT8>  Path;

  AddNode (Path, HARDWARE_DEVICE_PATH, HW_PCI_DP, std::string (2, '\0'));
  AddNode (Path, MESSAGING_DEVICE_PATH, MSG_MAC_ADDR_DP, std::string (33, '\0'));
  AddNode (Path, MESSAGING_DEVICE_PATH, MSG_IPv4_DP, std::string (23, '\0'));
  AddNode (Path, MESSAGING_DEVICE_PATH, MSG_URI_DP, Uri);
  AddNode (Path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, "");
  return Path;
}

TEST (BootUrlTest, DepotIsTheBootFilesFolder) {
  struct Case {
    std::vector<UINT8>   Path;
    const char16_t       *Base;     // nullptr: no depot
  };
  std::vector<UINT8>  Zero = HttpBootPath ("http://h/x.efi");
  Zero[2] = 0;                                                 // a node that claims no length
  std::vector<UINT8>  Endless;
  for (int Node = 0; Node < 100; Node++) {
    AddNode (Endless, HARDWARE_DEVICE_PATH, HW_PCI_DP, "ab");
  }

  const Case  Cases[] = {
    { HttpBootPath ("http://10.0.2.2:8080/depot/Morvane.efi"), u"http://10.0.2.2:8080/depot/" },
    { HttpBootPath ("http://10.0.2.2/Morvane.efi"), u"http://10.0.2.2/" },
    { HttpBootPath ("https://10.0.2.2/Morvane.efi"), nullptr },
    { HttpBootPath ("http://10.0.2.2/" + std::string (300, 'a') + "/M.efi"), nullptr },
    { Zero, nullptr },
    { Endless, nullptr },
  };

  for (const auto &C : Cases) {
    CHAR16   Base[DEPOT_URL_CHARS + 1] = {};
    BOOLEAN  Found = FindDepotInDevicePath (reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(C.Path.data ()), Base,
                                            ARRAY_SIZE (Base));

    EXPECT_EQ (Found, C.Base != nullptr);
    if (C.Base != nullptr) {
      EXPECT_EQ (std::u16string (reinterpret_cast<char16_t *>(Base)), C.Base);
    }
  }
}

class NetBootTest : public BootTest {
public:
  void
  SetUp (
    ) override
  {
    BootTest::SetUp ();
    Fake::gState->HasVolume        = FALSE;
    Fake::gState->DevicePath       = HttpBootPath ("http://10.0.2.2:8080/Morvane.efi");
    std::fill (Flash.begin (), Flash.end (), 0x5A);
  }

  std::vector<UINT8>
  Depot (
    const std::string  &Settings,
    UINT32             CrcChange = 0
    )
  {
    auto  Image = RandomImage (2 * BLOCK, 9);
    char  Crc[16];

    snprintf (Crc, sizeof (Crc), "%08X", Crc32Update (0, Image.data (), Image.size ()) ^ CrcChange);
    std::string  Text = "image=ec.bin\r\ncrc32=" + std::string (Crc) + "\r\n" + Settings;
    Fake::gState->Net.Files["/ec.bin"]      = Image;
    Fake::gState->Net.Files["/MORVANE.CFG"] = std::vector<UINT8>(Text.begin (), Text.end ());
    return Image;
  }

  std::string
  Result (
    const std::string  &Suffix
    ) const
  {
    for (const auto &F : Fake::gState->Net.Files) {
      if ((F.first.rfind (NAME, 0) == 0) && (F.first.size () >= Suffix.size ()) &&
          (F.first.compare (F.first.size () - Suffix.size (), Suffix.size (), Suffix) == 0))
      {
        return std::string (F.second.begin (), F.second.end ());
      }
    }

    return "<none>";
  }

  EFI_STATUS
  Boot (
    const std::u16string  &Keys = u" "
    )
  {
    EFI_STATUS  Status = StartByFirmware (Keys);

    EXPECT_TRUE (Fake::gState->Files.empty ()) << "a network boot writes no local file";
    return Status;
  }

  size_t
  Gets (
    const std::string  &Path
    ) const
  {
    return std::count_if (Fake::gState->Net.Requests.begin (), Fake::gState->Net.Requests.end (),
                          [&] (const Fake::Network::Request &R) { return R.Method == "GET" && R.Url.find (Path) != std::string::npos; });
  }
};

TEST_F (NetBootTest, FlashesFromTheDepotAndLeavesItsResultsThere) {
  std::vector<UINT8>  Old (Flash.begin (), Flash.begin () + 2 * BLOCK);
  auto                Image = Depot ("model=Morv 7\r\n");

  EXPECT_EQ (Boot (), EFI_SUCCESS);

  EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
  EXPECT_TRUE (Result (".bin") == std::string (Old.begin (), Old.end ())) << "the save is at the depot";
  EXPECT_NE (Result (".log").find (" image=\"ec.bin\" size=131072 "), std::string::npos) << Result (".log");
  EXPECT_NE (Result (".log").find (" status=0x0 product=\"Morv 7\" ec=flashed changed=2 "), std::string::npos) << Result (".log");
  const std::string  Screen = Printed ();
  EXPECT_NE (Screen.find ("saved to the depot first"), std::string::npos);
  EXPECT_NE (Screen.find ("EC FLASH DONE."), std::string::npos);
  EXPECT_NE (Screen.find ("Results: http://10.0.2.2:8080/results/ at the depot."), std::string::npos);
}

// An image that is not the one the settings name reaches no EC byte; the
// depot's line says why, and a retry fetches nothing again.
TEST_F (NetBootTest, ImageThatDoesNotMatchItsSettingsIsRefusedAtTheDepot) {
  Depot ("", 1);

  EXPECT_THROW (Boot (u" "), Fake::BudgetSpent) << "a failure never returns to the firmware";

  EXPECT_TRUE (NoPortTouched ());
  EXPECT_NE (Result (".log").find (" status=0x21 "), std::string::npos) << Result (".log");
  EXPECT_NE (Result (".log").find (" ec=unchanged changed=0 "), std::string::npos) << Result (".log");
  EXPECT_EQ (Gets ("/ec.bin"), 1u);
  EXPECT_EQ (Gets ("/MORVANE.CFG"), 1u);
  EXPECT_EQ (Count (Printed (), "NOTHING WAS CHANGED."), 2u);
}

// A Morvane that trusts a certificate, booted from a depot that serves a
// capsule signed under it (and no crc32=): the image fetched once is checked
// again at each attempt, and the flash that ends well keeps its version.
TEST_F (NetBootTest, ASignedCapsuleIsCheckedAgainAtEachAttempt) {
  auto  Load = [](const char *Name) {
    std::ifstream  In (std::string (MACHINE_CAPSULES "/") + Name, std::ios::binary);
    return std::vector<UINT8>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  };
  const auto                 Payload = Load ("ec.bin");
  const std::string          Text    = "image=ec.cap\r\n";
  MORVANE_EC_VERSION_RECORD  Record  = {};

  Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0), "Model");
  Fake::gState->TrustedCert               = Load ("root.cer");
  Fake::gState->Net.Files["/ec.cap"]      = Load ("good.cap");
  Fake::gState->Net.Files["/MORVANE.CFG"] = std::vector<UINT8>(Text.begin (), Text.end ());
  Sim->Faults.CorruptBlock    = 0;
  Sim->Faults.CorruptAttempts = 8;
  Fake::gState->PortBudget   *= 4;

  EXPECT_EQ (Boot (u"  "), EFI_SUCCESS);

  EXPECT_TRUE (std::equal (Payload.begin (), Payload.end (), Flash.begin ()));
  EXPECT_NE (Result (".incomplete.log").find (" status=0x7 "), std::string::npos) << Result (".incomplete.log");
  EXPECT_NE (Result (".flashed.log").find (" size=3000 "), std::string::npos) << Result (".flashed.log");
  EXPECT_NE (Result (".flashed.log").find (" signer=\"TestCert\" version=0x00000200 outcome="), std::string::npos) << Result (".flashed.log");
  EXPECT_EQ (Gets ("/ec.cap"), 1u);
  ASSERT_EQ (EcVersionRecordRead (&Record), EFI_SUCCESS);
  EXPECT_EQ (Record.Version, 0x200u);
}

// A settings file fetched from a depot names no depot of its own, and a
// depot that does not answer leaves everything untouched.
TEST_F (NetBootTest, RefusalsBeforeAnyAttempt) {
  Depot ("depot=http://elsewhere/results/\r\n");

  EXPECT_EQ (Boot (), EFI_INVALID_PARAMETER);
  EXPECT_NE (Printed ().find ("MORVANE.CFG line 3: "), std::string::npos) << Printed ();
  EXPECT_TRUE (NoPortTouched ());

  SetUp ();
  Depot ("");
  std::string  Long = "http://10.0.2.2/" + std::string (176, 'd') + "/";
  Fake::gState->DevicePath = HttpBootPath (Long + "M.efi");
  EXPECT_EQ (Boot (), EFI_INVALID_PARAMETER);
  EXPECT_NE (Printed ().find ("The depot's address " + Long + " is too long for its results/ folder (at most 192 characters);"),
             std::string::npos) << Printed ();
  EXPECT_EQ (Count (Printed (), "Press a key"), 1u) << "refused once, not retried";
  EXPECT_TRUE (Fake::gState->Net.Requests.empty ());

  SetUp ();
  Fake::gState->Net.HasNic = FALSE;
  EXPECT_EQ (Boot (), EFI_NOT_FOUND);
  EXPECT_NE (Printed ().find ("The depot at http://10.0.2.2:8080/ cannot be reached (Not Found); nothing was done."), std::string::npos);
  EXPECT_TRUE (NoPortTouched ());
}

// An EC that an earlier attempt left incomplete is flashed again even when
// the depot does not answer: the attempt's lines wait in memory and go when
// the depot is back; a depot that stays away costs the lines, not the EC.
TEST_F (NetBootTest, AnIncompleteEcIsFlashedAgainWithoutTheDepot) {
  struct Case {
    const char  *What;
    UINTN       GoneFor;      // requests refused after the first attempt
    bool        Sent;
  };
  const Case  Cases[] = {
    { "back by the attempt's end", 1, true },
    { "away for good", SIZE_MAX, false },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.What);
    SetUp ();
    auto  Image = Depot ("save=no\r\n");
    Sim->Faults.CorruptBlock    = 0;
    Sim->Faults.CorruptAttempts = 8;
    Fake::gState->PortBudget   *= 4;
    Fake::gState->Net.GoneAfter = 4;     // MORVANE.CFG, the image, the first attempt's .run and final line
    Fake::gState->Net.GoneFor   = C.GoneFor;

    EXPECT_EQ (Boot (u"  "), EFI_SUCCESS);

    EXPECT_TRUE (std::equal (Image.begin (), Image.end (), Flash.begin ()));
    const std::string  Screen = Printed ();
    EXPECT_NE (Screen.find ("The depot at http://10.0.2.2:8080/results/ cannot be reached (00000069); the EC is incomplete: "
                            "flashing anyway, results sent later."), std::string::npos) << Screen;
    EXPECT_NE (Result (".incomplete.log").find (" status=0x7 "), std::string::npos);
    EXPECT_EQ (Result (".flashed.log").find (" status=0x0 ") != std::string::npos, C.Sent) << Result (".flashed.log");
    EXPECT_EQ (Screen.find ("The run log could not be sent to the depot (00000069).") != std::string::npos, !C.Sent);
    EXPECT_EQ (Count (Screen, "EC FLASH DONE."), 1u);
  }
}

// A depot serving a catalogue: the machine (Maker Model, whose
// HardwareID-9 the capsules of MACHINE_CAPSULES name) reads the index,
// fetches only the capsule it chose, and runs it as image= would; or
// fetches nothing and touches nothing. Beside its line, the index offers a
// newer capsule to another model, which it must never take.
TEST_F (NetBootTest, ACatalogueDecidesWhatIsFetchedAndFlashed) {
  std::ifstream  In (MACHINE_CAPSULES "/good.cap", std::ios::binary);
  const auto     Capsule = std::vector<UINT8>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  std::ifstream  PayloadIn (MACHINE_CAPSULES "/ec.bin", std::ios::binary);
  const auto     Payload = std::vector<UINT8>(std::istreambuf_iterator<char>(PayloadIn), std::istreambuf_iterator<char>());
  const auto     Old     = std::vector<UINT8>(Flash.begin (), Flash.begin () + BLOCK);

  struct Case {
    const char         *What;
    const char         *Version;        // this machine's entry's VERSION, as the index says it
    const char         *Hwid;           // its HWID; nullptr: the machine's own
    INT64              SizeChange;      // added to the capsule's size in its entry
    UINT32             CrcChange;       // XORed into its CRC-32 there
    UINT32             Record;          // the EC's version record; 0: none
    bool               Retries;         // a failure: never back to the firmware
    EFI_STATUS         Status;          // what the boot returns otherwise
    std::string        Said;            // on the screen
    const char         *Result;         // the depot's result file ("": none)
    const char         *Image;          // its line's image and size
    const char         *Verdict;        // its line from status= on
    size_t             Fetched;         // GETs of the capsule
    bool               Flashed;
    UINT32             Attributes = 0;  // the record's, when not the firmware's own
    bool               NoUpdate   = false;  // update=no: the record, not the EC, says up to date
    bool               EcHolds    = false;  // the EC holds the capsule's payload already
  };
  const Case  Cases[] = {
    { "its capsule is chosen and flashed", "0x00000200", nullptr, 0, 0, 0, false, EFI_SUCCESS,
      "EC FLASH DONE.", ".flashed.log", " image=\"ec.cap\" size=3000 ",
      " status=0x0 product=\"Model\" ec=flashed changed=1 secureboot=off signer=unchecked version=0x00000200 outcome=", 1, true },
    { "no image for this machine", "0x00000200", "0d7e9b6c-3f8a-5c1e-9b2d-4a6f8e0c1d3b", 0, 0, 0, false, EFI_NOT_FOUND,
      "NO IMAGE FOR THIS MACHINE. Nothing was changed.", ".noimage.log", " image=\"-\" size=- ",
      " status=0xE product=\"Model\" ec=unchanged changed=0 secureboot=off signer=- version=- "
      "outcome=\"The catalogue has no image for this machine. Nothing was changed.\"", 0, false },
    { "update=no: the record names the newest version offered", "0x00000200", nullptr, 0, 0, 0x200, false, EFI_SUCCESS,
      "EC ALREADY UP TO DATE. Nothing was changed.", ".uptodate.log", " image=\"ec.cap\" size=- ",
      " status=0x0 product=\"Model\" ec=unchanged changed=0 secureboot=off signer=- version=0x00000200 outcome=\"The EC "
      "already has version 0x00000200, the newest the catalogue offers this machine; nothing was flashed.\"", 0, false, 0,
      true },
    { "an index the parser refuses", "0x200", nullptr, 0, 0, 0, false, EFI_INVALID_PARAMETER,
      "CATALOG.TXT line 3: bad VERSION: 0x and 8 upper-case hexadecimal digits; nothing was done.", "", "", "", 0, false },
    { "a capsule larger than its entry's SIZE", "0x00000200", nullptr, -1, 0, 0, false, EFI_BUFFER_TOO_SMALL,
      "The image ec.cap at http://10.0.2.2:8080/ is larger than CATALOG.TXT says (" + std::to_string (Capsule.size () - 1) +
      " bytes); nothing was flashed.", "", "", "", 1, false },
    { "the EC holds the version its record names: it says so itself", "0x00000200", nullptr, 0, 0, 0x200, false, EFI_SUCCESS,
      "EC ALREADY UP TO DATE. Nothing was changed.", ".uptodate.log", " image=\"ec.cap\" size=3000 ",
      " status=0x0 product=\"Model\" ec=unchanged changed=0 ", 1, true, 0, false, true },
    { "the record names the version, a flash that failed left the EC otherwise", "0x00000200", nullptr, 0, 0,
      0x200, false, EFI_SUCCESS, "EC FLASH DONE.", ".flashed.log", " image=\"ec.cap\" size=3000 ",
      " status=0x0 product=\"Model\" ec=flashed changed=1 ", 1, true, 0, false, false },
    { "an OS's runtime variable of the record's name: no record, which the run replaces", "0x00000200", nullptr, 0, 0, 0x200,
      false, EFI_SUCCESS, "EC FLASH DONE.", ".flashed.log", " image=\"ec.cap\" size=3000 ", " status=0x0 ", 1, true,
      EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS },
    // Last: it retries until the test's budget ends, leaving its image fetched.
    { "a capsule of another CRC-32", "0x00000200", nullptr, 0, 1, 0, true, EFI_SUCCESS, "NOTHING WAS CHANGED.",
      ".unchanged.log", " image=\"ec.cap\" size=", " status=0x21 product=\"Model\" ec=unchanged changed=0 ", 1, false },
  };

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.What);
    SetUp ();
    Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0), "Model");
    if (C.Record != 0) {
      MORVANE_EC_VERSION_RECORD  Record = { C.Record, 0x80 };
      ASSERT_EQ (EcVersionRecordWrite (&Record), EFI_SUCCESS);
      if (C.Attributes != 0) {
        Fake::gState->Variables[Fake::VariableKey (u"MorvaneEcVersion", gMorvaneEcVersionGuid)].Attributes = C.Attributes;
      }
    }

    char  Line[160];
    snprintf (Line, sizeof (Line), "ec.cap %s %s 0x00000080 %lld %08X 100\n", C.Hwid ? C.Hwid : MACHINE_HWID, C.Version,
              static_cast<long long>(Capsule.size ()) + static_cast<long long>(C.SizeChange),
              Crc32Update (0, Capsule.data (), Capsule.size ()) ^ C.CrcChange);
    const std::string  Index    = "morvane-catalog 1\nnew.cap 6f1e2d3c-4b5a-5968-8776-a5b4c3d2e1f0 0x00000300 0x00000080 3 "
                                  "00000000 100\n" + std::string (Line);
    const std::string  Settings = std::string ("catalog=CATALOG.TXT\r\n") + (C.NoUpdate ? "update=no\r\n" : "");
    if (C.EcHolds) {
      std::fill (Flash.begin (), Flash.begin () + BLOCK, 0xFF);
      std::copy (Payload.begin (), Payload.end (), Flash.begin ());
    }

    Fake::gState->Net.Files["/MORVANE.CFG"] = std::vector<UINT8>(Settings.begin (), Settings.end ());
    Fake::gState->Net.Files["/CATALOG.TXT"] = std::vector<UINT8>(Index.begin (), Index.end ());
    Fake::gState->Net.Files["/ec.cap"]      = Capsule;

    if (C.Retries) {
      EXPECT_THROW (Boot (u" "), Fake::BudgetSpent);
    } else {
      EXPECT_EQ (Boot (), C.Status);
    }

    EXPECT_NE (Printed ().find (C.Said), std::string::npos) << Printed ();
    if (*C.Result != 0) {
      EXPECT_NE (Result (C.Result).find (C.Image), std::string::npos) << Result (C.Result);
      EXPECT_NE (Result (C.Result).find (C.Verdict), std::string::npos) << Result (C.Result);
    } else {
      EXPECT_EQ (Result (".log"), "<none>");
    }

    EXPECT_EQ (Gets ("/ec.cap"), C.Fetched);
    EXPECT_EQ (Gets ("/") - Gets ("/results/"), 2 + C.Fetched) << "the settings, the index and the chosen capsule only";
    if (C.Flashed) {
      EXPECT_TRUE (std::equal (Payload.begin (), Payload.end (), Flash.begin ()));
      EXPECT_EQ (FirstErase () == std::string::npos, C.EcHolds) << "an EC that holds the capsule is never erased";
    } else {
      EXPECT_TRUE (NoPortTouched ());
      EXPECT_TRUE (std::equal (Old.begin (), Old.end (), Flash.begin ()));
    }

    if (C.Attributes != 0) {
      EXPECT_EQ (Fake::gState->Variables.count (Fake::VariableKey (u"MorvaneEcVersion", gMorvaneEcVersionGuid)), 0u);
    }
  }
}

}  // namespace
