/** @file
  Signed images: capsules made by GenerateCapsule.py for the fakes'
  machine, checked by EDK II's PKCS7 code over the host's OpenSSL, in a
  Morvane with and without a built-in certificate; the version record they
  are held to; and -i.

**/

#include "RunTest.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "Crc32.h"
#include "EcVersionRecord.h"

namespace {

typedef std::vector<UINT8> Bytes;

constexpr const char16_t  *CAPSULE = u"FS0:\\images\\ec.cap";
constexpr const char16_t  *LOG     = u"FS0:\\images\\run.log";

class SignedRunTest : public RunTest {
public:
  using RunTest::AddImage;

  void
  SetUp (
    ) override
  {
    RunTest::SetUp ();
    Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0));   // HardwareID-9: Maker & Model
  }

  static Bytes
  Load (
    const char  *Name
    )
  {
    std::ifstream  File (std::string (MACHINE_CAPSULES "/") + Name, std::ios::binary);

    return Bytes (std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
  }

  static std::u16string
  Wide (
    const std::string  &Text
    )
  {
    return std::u16string (Text.begin (), Text.end ());
  }

  void
  Trust (
    )
  {
    Fake::gState->TrustedCert = Load ("root.cer");
  }

  // The record's bytes; empty when there is none.
  Bytes
  Record (
    ) const
  {
    auto  Found = Fake::gState->Variables.find (Fake::VariableKey (u"MorvaneEcVersion", gMorvaneEcVersionGuid));

    return (Found == Fake::gState->Variables.end ()) ? Bytes () : Found->second.Data;
  }

  void
  PlantRecord (
    UINT32  Version,
    UINT32  Lowest
    )
  {
    MORVANE_EC_VERSION_RECORD  Planted = { Version, Lowest };

    ASSERT_EQ (EcVersionRecordWrite (&Planted), EFI_SUCCESS);
  }

  // A variable of the record's name as someone else may have made it.
  void
  PlantVariable (
    UINT32  Attributes,
    UINT32  Version,
    UINT32  Lowest
    )
  {
    Bytes  Data (8);

    std::memcpy (Data.data (), &Version, 4);
    std::memcpy (Data.data () + 4, &Lowest, 4);
    Fake::gState->Variables[Fake::VariableKey (u"MorvaneEcVersion", gMorvaneEcVersionGuid)] = Fake::Variable { Attributes, Data };
  }

  // The record as version and lowest; { 0, 0 } when there is none.
  std::pair<UINT32, UINT32>
  RecordNow (
    )
  {
    MORVANE_EC_VERSION_RECORD  Now = {};

    EcVersionRecordRead (&Now);
    return { Now.Version, Now.LowestSupported };
  }

  std::string
  LogLine (
    ) const
  {
    auto  Found = Fake::gState->Files.find (LOG);

    return (Found == Fake::gState->Files.end ()) ? "" : std::string (Found->second.Data.begin (), Found->second.Data.end ());
  }

  // The EC's flash holds the payload in block 0, and nothing past it.
  bool
  FlashHolds (
    const Bytes  &Payload
    ) const
  {
    return std::equal (Payload.begin (), Payload.end (), Flash.begin ()) &&
           std::all_of (Flash.begin () + Payload.size (), Flash.begin () + 0x10000, [](UINT8 Byte) { return Byte == 0xFF; });
  }

  // Where the log shows the first byte the EC received; npos for none.
  size_t
  FirstDeviceEvent (
    ) const
  {
    return (Sim->RecordLength > 0) ? Sim->Record[0].Stamp : std::string::npos;
  }
};

// A capsule for this machine flashes its payload, ends with the closing
// check, and, when its signature was verified, leaves its version in the
// record, the lowest supported one never going down (a variable of the
// record's name that an OS made with runtime access is replaced); with a
// certificate its signer is logged, without one the operator is told that
// nobody's signature was checked, and the record is left as it was.
TEST_F (SignedRunTest, ACapsuleForThisMachineFlashesItsPayloadAndKeepsItsVersion) {
  const Bytes   Capsule = Load ("good.cap");
  const Bytes   Payload = Load ("ec.bin");
  const UINT32  FileCrc = Crc32Update (0, Capsule.data (), Capsule.size ());
  const std::u16string  Logged[] = { u"-c", Wide (Hex (FileCrc)), u"-l", u"run.log" };
  struct Case {
    const char  *What;
    bool        Trusted;
    bool        Options;
    UINT32      Planted;             // the attributes of what was there; 0: nothing
    UINT32      Version, Lowest;     // what it held
    UINT32      VersionAfter, LowestAfter;
  };
  const UINT32  NV_BS    = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
  const UINT32  NV_BS_RT = NV_BS | EFI_VARIABLE_RUNTIME_ACCESS;
  const Case  Cases[] = {
    { "signed, plain run, no record",          true,  false, 0,        0,      0,     0x200, 0x80  },
    { "signed, options, an older record",      true,  true,  NV_BS,    0x100,  0x40,  0x200, 0x80  },
    { "signed, options, a newer record",       true,  true,  NV_BS,    0x300,  0x180, 0x200, 0x180 },   // lower, yet allowed
    { "signed, options, lowest = its version", true,  true,  NV_BS,    0x1000, 0x200, 0x200, 0x200 },
    { "signed, an OS's runtime variable",      true,  false, NV_BS_RT, 0x100,  0x300, 0x200, 0x80  },
    { "unchecked, plain run",                  false, false, NV_BS,    0x100,  0x100, 0x100, 0x100 },
    { "unchecked, options",                    false, true,  0,        0,      0,     0,     0     },
  };

  for (const Case &C : Cases) {
    SCOPED_TRACE (C.What);
    SetUp ();
    if (C.Trusted) {
      Trust ();
    }

    if (C.Planted != 0) {
      PlantVariable (C.Planted, C.Version, C.Lowest);
    }

    AddImage (Capsule, CAPSULE);
    std::vector<std::u16string>  Args;
    if (C.Options) {
      Args.assign (std::begin (Logged), std::end (Logged));
    }

    Args.push_back (u"ec.cap");

    ASSERT_EQ (Run (Args), EFI_SUCCESS) << Printed ();

    EXPECT_TRUE (FlashHolds (Payload));
    EXPECT_EQ (RecordNow (), std::make_pair (C.VersionAfter, C.LowestAfter));
    EXPECT_EQ (Fake::RowText (7), " Check   :o") << "a capsule's flash ends with the closing check";
    EXPECT_EQ (Fake::RowText (13), C.Trusted ? "" : "The signature of ec.cap was not checked: this Morvane trusts no signer.");
    EXPECT_LT (Fake::Find ("close", CAPSULE), FirstDeviceEvent ()) << "read and checked before 0xAD";
    if (C.Options) {
      EXPECT_NE (LogLine ().find (" size=3000 crc32=" + Hex (Crc32Update (0, Payload.data (), Payload.size ())) + " "), std::string::npos)
        << "the log describes what was flashed: " << LogLine ();
      EXPECT_NE (LogLine ().find (std::string (" ec=flashed changed=1 secureboot=off signer=") + (C.Trusted ? "\"TestCert\"" : "unchecked") +
                                  " version=0x00000200 outcome=\"Morvane finished, remove power and reboot.\""), std::string::npos)
        << LogLine ();
    }
  }
}

// A capsule of a whole 16 MiB EC flash is its headers and signature larger
// than 16 MiB: it is read whole, and its payload flashed.
TEST_F (SignedRunTest, ACapsuleOfSixteenMegabytesIsTaken) {
  const Bytes  Payload = Load ("big.bin");

  Trust ();
  Fake::gState->PortBudget = 160000000;
  AddImage (Load ("big.cap"), CAPSULE);

  ASSERT_EQ (Run ({ u"ec.cap" }), EFI_SUCCESS) << Fake::RowText (13);

  EXPECT_TRUE (std::equal (Payload.begin (), Payload.end (), Flash.begin ()));
}

// Every capsule or image refused for what it is, before any port, with the
// run's line and log; the record is left as it was.
TEST_F (SignedRunTest, WhatIsNotFlashedIsRefusedBeforeAnyPort) {
  struct Case {
    const char                             *What;
    bool                                   Trusted;
    std::function<void (SignedRunTest &)>  Arrange;
    const char16_t                         *Name;
    EFI_STATUS                             Status;
    std::string                            Line;
    std::string                            Fields;     // signer= and version= in the log
  };
  auto  Good    = [](SignedRunTest &T) { T.AddImage (Load ("good.cap"), CAPSULE); };
  auto  Changed = [](SignedRunTest &T) { Bytes C = Load ("good.cap"); C.back () ^= 1; T.AddImage (C, CAPSULE); };
  auto  Other   = [](SignedRunTest &T) { T.AddImage (Load ("other.cap"), CAPSULE); };
  auto  Unsigned = [](SignedRunTest &T) { T.AddImage (Load ("unsigned.cap"), CAPSULE); };
  auto  Raw     = [](SignedRunTest &T) { T.AddImage (Load ("ec.bin")); };
  auto  Nested  = [](SignedRunTest &T) { T.AddImage (Load ("nested.cap"), CAPSULE); };
  auto  Cut     = [](SignedRunTest &T) { T.AddImage (Load ("cut.cap"), CAPSULE); };
  // big.cap's payload 32 KiB longer: still a file Morvane reads, its
  // capsule and image sizes made to match.
  auto  Huge    = [](SignedRunTest &T) {
    Bytes  C = Load ("big.cap");
    C.resize (C.size () + 0x8000, 0x5A);
    for (size_t At : { 24, 72 }) {
      const UINT32  Size = static_cast<UINT32>(At == 24 ? C.size () : C.size () - 96);
      std::copy_n (reinterpret_cast<const UINT8 *>(&Size), sizeof (Size), C.begin () + At);
    }

    T.AddImage (C, CAPSULE);
  };
  auto  Machine = [=](SignedRunTest &T) { Good (T); Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0), "Other"); };
  auto  Newer   = [=](SignedRunTest &T) { Good (T); T.PlantRecord (0x300, 0x201); };
  // An OS made a variable of the record's name under a key of its own.
  auto  Keyed   = [=](SignedRunTest &T) {
    Good (T);
    T.PlantVariable (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS |
                     EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS, 0x100, 0);
  };
  auto  Unreadable = [=](SignedRunTest &T) { Good (T); T.PlantRecord (0x100, 0x80); Fake::gState->GetVariableStatus = EFI_DEVICE_ERROR; };
  // The image type is outside what the signature covers: renamed to
  // another of the machine's IDs, the capsule still verifies.
  auto  Renamed = [](std::vector<UINT8> Id) {
    return [=](SignedRunTest &T) {
      Bytes  C = Load ("good.cap");
      std::copy (Id.begin (), Id.end (), C.begin () + 52);
      T.AddImage (C, CAPSULE);
    };
  };
  // HardwareID-14, the maker alone.
  auto  Maker   = Renamed ({ 0x3E, 0x5B, 0xB0, 0x78, 0xB0, 0xBA, 0x17, 0x51, 0xA0, 0xF5, 0x70, 0xA0, 0xA1, 0xFB, 0x20, 0xD2 });
  // HardwareID-7, the maker and the SKU this machine leaves empty: every
  // model of the maker without a SKU has it.
  auto  NoSku   = Renamed ({ 0xB2, 0xA4, 0x1F, 0xE4, 0x03, 0x45, 0x8B, 0x56, 0xA3, 0x72, 0xD7, 0xA7, 0x30, 0x7D, 0x7E, 0xE3 });
  const std::string  NOT_THIS = "This machine (Other) is not the one ec.cap is for ({C0FED3B1-A4ED-5A8D-8886-126DB8AE6423}). Nothing was flashed.";
  const std::string  OLDER    = "ec.cap is version 0x00000200; this machine takes 0x00000201 or later. Nothing was flashed.";
  const std::string  UNSIGNED = "ec.cap is not a capsule Morvane takes (not signed). Nothing was flashed.";
  const std::string  FORGED   = "The signature of ec.cap does not verify against TestRoot. Nothing was flashed.";
  const std::string  NESTED   = "ec.cap is not a capsule Morvane takes (a capsule inside a capsule). Nothing was flashed.";
  const std::string  CUT      = "ec.cap is not a capsule Morvane takes (an EC image whose last block holds under 8 KiB,"
                                " which the flash would leave out). Nothing was flashed.";
  const Case  Cases[] = {
    { "a changed byte",        true,  Changed,  u"ec.cap", EFI_SECURITY_VIOLATION, FORGED, "signer=- version=-" },
    { "another signer",        true,  Other,    u"ec.cap", EFI_SECURITY_VIOLATION, FORGED, "signer=- version=-" },
    { "a raw image",           true,  Raw,      u"ec.bin", EFI_SECURITY_VIOLATION,
      "ec.bin is not a signed capsule; this Morvane flashes only images signed by TestRoot. Nothing was flashed.", "signer=- version=-" },
    { "unsigned",              true,  Unsigned, u"ec.cap", EFI_UNSUPPORTED,          UNSIGNED, "signer=- version=-" },
    { "unsigned, unchecked",   false, Unsigned, u"ec.cap", EFI_UNSUPPORTED,          UNSIGNED, "signer=- version=-" },
    { "a capsule inside",      true,  Nested,   u"ec.cap", EFI_UNSUPPORTED,          NESTED,   "signer=- version=-" },
    { "a capsule inside, unchecked", false, Nested, u"ec.cap", EFI_UNSUPPORTED,      NESTED,   "signer=- version=-" },
    { "a tail left out",       true,  Cut,      u"ec.cap", EFI_UNSUPPORTED,          CUT,      "signer=- version=-" },
    { "a tail left out, unchecked", false, Cut, u"ec.cap", EFI_UNSUPPORTED,          CUT,      "signer=- version=-" },
    { "a payload over 16 MiB", true,  Huge,     u"ec.cap", EFI_BAD_BUFFER_SIZE,
      "Image is larger than 16 MiB; nothing was flashed.", "signer=- version=-" },
    { "another machine",       true,  Machine,  u"ec.cap", EFI_UNSUPPORTED,          NOT_THIS, "signer=\"TestCert\" version=0x00000200" },
    { "another machine, unchecked", false, Machine, u"ec.cap", EFI_UNSUPPORTED,      NOT_THIS, "signer=unchecked version=0x00000200" },
    { "every machine of the maker", true, Maker, u"ec.cap", EFI_UNSUPPORTED,
      "This machine (Model) is not the one ec.cap is for ({78B05B3E-BAB0-5117-A0F5-70A0A1FB20D2}). Nothing was flashed.",
      "signer=\"TestCert\" version=0x00000200" },
    { "every model of the maker without a SKU", true, NoSku, u"ec.cap", EFI_UNSUPPORTED,
      "This machine (Model) is not the one ec.cap is for ({E41FA4B2-4503-568B-A372-D7A7307D7EE3}). Nothing was flashed.",
      "signer=\"TestCert\" version=0x00000200" },
    { "below the record",      true,  Newer,    u"ec.cap", EFI_INCOMPATIBLE_VERSION, OLDER,    "signer=\"TestCert\" version=0x00000200" },
    { "below the record, unchecked", false, Newer, u"ec.cap", EFI_INCOMPATIBLE_VERSION, OLDER, "signer=unchecked version=0x00000200" },
    { "a record an OS holds under its key", true, Keyed, u"ec.cap", EFI_INCOMPATIBLE_VERSION,
      "The EC version record is held by a variable this firmware did not make and cannot replace (Security Violation). Nothing was flashed.",
      "signer=\"TestCert\" version=0x00000200" },
    { "a record that cannot be read", true, Unreadable, u"ec.cap", EFI_DEVICE_ERROR,
      "The EC version record could not be read (Device Error). Nothing was flashed.", "signer=\"TestCert\" version=0x00000200" },
  };

  for (const Case &C : Cases) {
    for (bool Options : { false, true }) {
      SCOPED_TRACE (std::string (C.What) + (Options ? ", options" : ", plain run"));
      SetUp ();
      if (C.Trusted) {
        Trust ();
      }

      C.Arrange (*this);
      const Bytes  RecordBefore = Record ();
      std::vector<std::u16string>  Args = { C.Name };
      if (Options) {
        Args = { u"-l", u"run.log", C.Name };
      }

      EXPECT_EQ (Run (Args), C.Status);
      EXPECT_EQ (Fake::RowText (13), C.Line);
      EXPECT_TRUE (NoPortTouched ());
      EXPECT_EQ (Record (), RecordBefore);
      if (Options) {
        EXPECT_NE (LogLine ().find (" ec=unchanged changed=0 secureboot=off " + C.Fields + " outcome=\"" + C.Line + "\""), std::string::npos)
          << LogLine ();
      }
    }
  }
}

// A capsule's flash whose closing check fails (a part of one block took
// the second block over the first) leaves the record as it was: only a
// flash that passed it may raise the floor.
TEST_F (SignedRunTest, AFlashWhoseClosingCheckFailsLeavesTheRecord) {
  Trust ();
  PlantRecord (0x100, 0x40);
  Sim->Faults.SizeBlocks = 1;
  AddImage (Load ("two.cap"), CAPSULE);

  EXPECT_EQ (Run ({ u"ec.cap" }), EFI_END_OF_MEDIA) << Printed ();

  EXPECT_EQ (RecordNow (), std::make_pair (0x100u, 0x40u));
}

// -i lists the fields and the IDs made of them, the IDs that do not name
// one model marked, each line within 80 columns, and reaches no port; it
// may be paged.
TEST_F (SignedRunTest, MinusIShowsTheMachinesIdsAndTouchesNothing) {
  EXPECT_EQ (Run ({ u"-i", u"-b" }), EFI_SUCCESS);

  EXPECT_TRUE (NoPortTouched ());
  EXPECT_EQ (Fake::RowText (0), "Computer Information");
  EXPECT_EQ (Fake::RowText (2), "Manufacturer: Maker");
  EXPECT_EQ (Fake::RowText (3), "Family:");
  EXPECT_EQ (Fake::RowText (7), "BaseboardProduct: B1");
  EXPECT_EQ (Fake::RowText (10), "BiosMajorRelease: (none)");
  EXPECT_EQ (Fake::RowText (12), "EnclosureKind: a");
  EXPECT_EQ (Fake::RowText (15), "HardwareID-0:  (none: a field is missing)   <- Manufacturer + Family");
  EXPECT_EQ (Fake::RowText (16), "    + ProductName + ProductSku + BiosVendor + BiosVersion + BiosMajorRelease");
  const std::string  Text = Printed ();
  EXPECT_NE (Text.find ("HardwareID-9:  {C0FED3B1-A4ED-5A8D-8886-126DB8AE6423}   <- Manufacturer"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("HardwareID-7:  {E41FA4B2-4503-568B-A372-D7A7307D7EE3} * <- Manufacturer??    + ProductSku"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("HardwareID-14: {78B05B3E-BAB0-5117-A0F5-70A0A1FB20D2} * <- Manufacturer"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("* does not name one model: Morvane takes no capsule for it."), std::string::npos) << Text;
  for (UINTN Row = 0; Row < Fake::gState->Rows; Row++) {
    EXPECT_LT (Fake::RowText (Row).size (), 80u) << Fake::RowText (Row);
  }

  EXPECT_TRUE (Fake::gState->PageBreak) << "-b pages what -i shows";
}

}  // namespace
