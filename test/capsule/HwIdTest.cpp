/** @file
  Hardware IDs against the reference: each machine below is written as an
  SMBIOS table, read by EcHwIdFieldsFromSmbios and hashed by EcHwIdsCompute,
  and handed to Debian's fwupd as the same table (FWUPD_SYSFSFWDIR, with
  /sys/class/dmi/id as Linux would show it beside it) or as the same
  fields (a [HwIds] key file). All fifteen IDs must agree, and so must
  which of them exist.

**/

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

extern "C" {
#include <Uefi.h>
}

#include "EcCapsule.h"

namespace {

typedef std::vector<UINT8> Bytes;

// One machine as its firmware describes it; nullptr: string number 0.
struct Machine {
  const char  *What;
  const char  *Manufacturer, *ProductName, *ProductSku, *Family;
  const char  *BiosVendor, *BiosVersion;
  UINT8       BiosMajor, BiosMinor;
  const char  *BoardMaker, *BoardProduct;
  UINT8       Enclosure;
  UINT8       BiosLength    = 0x18;    // 0x14 before SMBIOS 2.4: no release bytes
  UINT8       SystemLength  = 0x1B;    // 0x19 before 2.4: no SKU, no family
  bool        Board         = true;
  UINT8       BoardNumbers[2] = {};    // when not 0: the string numbers the board gives
  bool        Twice         = false;   // a second structure of each type follows, other strings
};

void
AddStructure (
  Bytes                            &Table,
  UINT8                            Type,
  Bytes                            Formatted,
  const std::vector<const char *>  &Strings
  )
{
  bool  Any = false;

  Formatted[0] = Type;
  Formatted[1] = static_cast<UINT8>(Formatted.size ());
  Formatted[2] = Type;
  Table.insert (Table.end (), Formatted.begin (), Formatted.end ());
  for (const char *S : Strings) {
    if (S != nullptr) {
      Table.insert (Table.end (), S, S + std::string (S).size () + 1);
      Any = true;
    }
  }

  Table.push_back (0);
  if (!Any) {
    Table.push_back (0);
  }
}

// Numbers the strings given, in order; 0 for those not given.
UINT8
Number (
  const std::vector<const char *>  &Strings,
  size_t                           Index
  )
{
  UINT8  N = 0;

  for (size_t I = 0; I <= Index; I++) {
    N += (Strings[I] != nullptr);
  }

  return (Strings[Index] == nullptr) ? 0 : N;
}

Bytes
Table (
  const Machine  &M
  )
{
  Bytes                      T;
  std::vector<const char *>  Bios{ M.BiosVendor, M.BiosVersion };
  std::vector<const char *>  System{ M.Manufacturer, M.ProductName, M.ProductSku, M.Family };
  std::vector<const char *>  Board{ M.BoardMaker, M.BoardProduct };
  Bytes                      F;

  F.assign (0x18, 0);
  F[4] = Number (Bios, 0);
  F[5] = Number (Bios, 1);
  F[0x14] = M.BiosMajor;
  F[0x15] = M.BiosMinor;
  F.resize (M.BiosLength);
  AddStructure (T, 0, F, Bios);

  F.assign (0x1B, 0);
  F[4] = Number (System, 0);
  F[5] = Number (System, 1);
  F[0x19] = Number (System, 2);
  F[0x1A] = Number (System, 3);
  F.resize (M.SystemLength);
  AddStructure (T, 1, F, System);

  if (M.Board) {
    F.assign (8, 0);
    F[4] = (M.BoardNumbers[0] != 0) ? M.BoardNumbers[0] : Number (Board, 0);
    F[5] = (M.BoardNumbers[1] != 0) ? M.BoardNumbers[1] : Number (Board, 1);
    AddStructure (T, 2, F, Board);
  }

  F.assign (9, 0);
  F[5] = M.Enclosure;
  AddStructure (T, 3, F, {});
  if (M.Twice) {
    // Firmware that repeats a structure: the first of each type counts.
    F.assign (0x1B, 0);
    F[4] = 1;
    F[5] = 2;
    F[0x19] = 3;
    F[0x1A] = 4;
    F[0x14] = 0x7F;
    AddStructure (T, 0, Bytes (F.begin (), F.begin () + 0x18), { "Later BIOS", "9.9" });
    AddStructure (T, 1, F, { "Later maker", "Later product", "Later SKU", "Later family" });
    AddStructure (T, 2, Bytes (F.begin (), F.begin () + 8), { "Later board maker", "Later board" });
    F[5] = 0x7F;
    AddStructure (T, 3, Bytes (F.begin (), F.begin () + 9), {});
  }

  AddStructure (T, 127, Bytes (4, 0), {});
  return T;
}

std::string
GuidText (
  const EFI_GUID  &G
  )
{
  char  Text[40];

  snprintf (Text, sizeof (Text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
            G.Data1, G.Data2, G.Data3, G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3],
            G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return Text;
}

// The fifteen IDs as text, "" for an ID that does not exist.
std::vector<std::string>
Ours (
  const EC_HWID_FIELDS  &Fields
  )
{
  EC_HWIDS                  Ids;
  std::vector<std::string>  Out;

  EXPECT_EQ (EcHwIdsCompute (&Fields, &Ids), EFI_SUCCESS);
  for (size_t I = 0; I < EC_HWID_COUNT; I++) {
    Out.push_back (Ids.Present[I] ? GuidText (Ids.Id[I]) : "");
  }

  return Out;
}

class HwIdTest : public ::testing::Test {
protected:
  void
  SetUp (
    ) override
  {
    char  Template[] = "/tmp/morvane-hwid-XXXXXX";

    ASSERT_NE (mkdtemp (Template), nullptr);
    Dir = Template;
  }

  void
  TearDown (
    ) override
  {
    std::system (("rm -rf '" + Dir + "'").c_str ());
  }

  void
  Write (
    const std::string  &Name,
    const Bytes        &Data
    )
  {
    std::ofstream (Dir + "/" + Name, std::ios::binary).write (reinterpret_cast<const char *>(Data.data ()), Data.size ());
  }

  // fwupd's fifteen IDs, with this machine's own SMBIOS and DMI out of reach.
  std::vector<std::string>
  Fwupd (
    const std::string  &KeyFile
    )
  {
    std::string               Command = "FWUPD_SYSFSFWDIR='" + Dir + "/fw' FWUPD_SYSFSDMIDIR='" + Dir + "/dmi' fwupdtool hwids " + KeyFile + " 2>/dev/null";
    std::vector<std::string>  Out;
    std::string               Text;
    char                      Line[1024];
    FILE                      *Pipe = popen (Command.c_str (), "r");

    while (Pipe != nullptr && fgets (Line, sizeof (Line), Pipe) != nullptr) {
      Text += Line;
    }

    EXPECT_EQ (Pipe == nullptr ? -1 : pclose (Pipe), 0) << Command;
    size_t  At = Text.find ("Hardware IDs\n------------\n");
    EXPECT_NE (At, std::string::npos) << Text;
    for (At += 26; At < Text.size () && Out.size () < EC_HWID_COUNT; At = Text.find ('\n', At) + 1) {
      // One line per ID in order: "{guid}   <- fields", or why there is none.
      Out.push_back (Text[At] == '{' ? Text.substr (At + 1, 36) : "");
    }

    EXPECT_EQ (Out.size (), static_cast<size_t>(EC_HWID_COUNT)) << Text;
    return Out;
  }

  // What Linux shows in /sys/class/dmi/id for the string fields fwupd reads
  // there when the SMBIOS table does not give them: a file for each field
  // whose structure is there and long enough, empty for a string number 0
  // or past the strings.
  void
  WriteLinuxDmi (
    const Machine  &M
    )
  {
    const struct {
      const char  *File;
      const char  *Value;
      bool        There;
    } Files[] = {
      { "sys_vendor",     M.Manufacturer, true                    },
      { "product_name",   M.ProductName,  true                    },
      { "product_sku",    M.ProductSku,   M.SystemLength > 0x19   },
      { "product_family", M.Family,       M.SystemLength > 0x1A   },
      { "bios_vendor",    M.BiosVendor,   true                    },
      { "bios_version",   M.BiosVersion,  true                    },
      { "board_vendor",   M.BoardMaker,   M.Board                 },
      { "board_name",     M.BoardProduct, M.Board                 },
    };

    std::system (("rm -rf '" + Dir + "/dmi' && mkdir -p '" + Dir + "/dmi'").c_str ());
    for (const auto &F : Files) {
      if (F.There) {
        std::string  Line = std::string (F.Value == nullptr ? "" : F.Value) + "\n";
        Write (std::string ("dmi/") + F.File, Bytes (Line.begin (), Line.end ()));
      }
    }
  }

  std::vector<std::string>
  FwupdFromTable (
    const Bytes  &Dmi
    )
  {
    Bytes  Entry{ '_', 'S', 'M', '3', '_', 0, 0x18, 3, 0, 0, 1, 0 };
    UINT8  Sum = 0;

    for (int Shift = 0; Shift < 32; Shift += 8) {
      Entry.push_back (static_cast<UINT8>(Dmi.size () >> Shift));
    }

    Entry.resize (24, 0);
    for (UINT8 B : Entry) {
      Sum += B;
    }

    Entry[5] = static_cast<UINT8>(-Sum);
    std::system (("mkdir -p '" + Dir + "/fw/dmi/tables' '" + Dir + "/dmi'").c_str ());
    Write ("fw/dmi/tables/smbios_entry_point", Entry);
    Write ("fw/dmi/tables/DMI", Dmi);
    return Fwupd ("");
  }

  std::string  Dir;
};

TEST_F (HwIdTest, FromTheSmbiosTableAsFwupdReadsIt) {
  static const Machine  Machines[] = {
    { "plain", "Morvane Computers", "MV-14 Pro", "MV14P-DE_BU_Morvane_FM_MV-14 Pro Business", "MV 14", "EDK II", "1.02.3", 1, 2,
      "Morvane Computers", "MVB-14 rev. 2", 0x0A },
    { "blank, zero and missing fields", "    ", "   ", "0000", nullptr, "0 EDK", "00.5", 0, 0,
      " 007 ", "0", 0x00 },
    { "other code pages", "M\xC3\xB8rvane", "Caf\xC3\xA9", "\xF0\x9F\x92\xBB Laptop", "\xEF\xBF\xBF", "\xE6\x97\xA5\xE6\x9C\xAC",
      "1.0", 1, 0, "\xC3\x9C", "B", 0x83 },
    { "not UTF-8: Latin-1, overlong, surrogate, above U+10FFFF", "Morvane", "Caf\xE9", "\xC0\xAF", "\xED\xA0\x80",
      "EDK II", "1.0", 1, 0, "\xF4\x90\x80\x80", "B", 0x09 },
    { "not UTF-8: cut, five bytes, 0xFF", "Morvane", "MV-14", "\xE2\x82", "\xF8\x88\x80\x80\x80",
      "EDK II", "1.0", 1, 0, "\xFF", "B", 0x09 },
    { "trailing white space", "Morvane   ", "  MV-14\t", "SKU\v", "Fam \r\n", " \t", "\t ", 0x10, 0xFF,
      "A\f", "  B  ", 0x8A },
    { "an older table", "Morvane", "MV-14", "SKU", "Fam", "EDK II", "1.0", 1, 2, nullptr, nullptr, 3,
      0x14, 0x19, false },
    { "a board without strings", "Morvane", "MV-14", "SKU", "Fam", "EDK II", "1.0", 0xFF, 0xFF, nullptr, nullptr, 0x11,
      0x18, 0x1B, true, { 1, 1 } },
    { "a board string past its set", "Morvane", "MV-14", "SKU", "Fam", "EDK II", "1.0", 1, 2, "Board", nullptr, 0x11,
      0x18, 0x1B, true, { 1, 2 } },
    { "two structures of each type", "Morvane", "MV-14", "SKU", "Fam", "EDK II", "1.0", 1, 2, "Board", "B1", 0x0A,
      0x18, 0x1B, true, {}, true },
  };

  for (const Machine &M : Machines) {
    EC_HWID_FIELDS  Fields;
    Bytes           Dmi = Table (M);

    EcHwIdFieldsFromSmbios (Dmi.data (), Dmi.size (), &Fields);
    WriteLinuxDmi (M);
    EXPECT_EQ (Ours (Fields), FwupdFromTable (Dmi)) << M.What;
  }
}

TEST_F (HwIdTest, FromFieldsGivenAsTextAsFwupdTakesThemFromAKeyFile) {
  static const char *const  Keys[EC_HWID_FIELD_COUNT] = {
    "Manufacturer", "Family", "ProductName", "ProductSku", "BaseboardManufacturer", "BaseboardProduct",
    "BiosVendor", "BiosVersion", "BiosMajorRelease", "BiosMinorRelease", "EnclosureKind"
  };
  struct Case {
    const char  *What;
    const char  *Field[EC_HWID_FIELD_COUNT];   // nullptr: not given
  };
  static const Case  Cases[] = {
    { "plain",           { "Morvane Computers", "MV 14", "MV-14 Pro", "MV14P-DE_BU_Morvane_FM_MV-14 Pro Business", "Morvane Computers", "MVB-14 rev. 2",
                           "EDK II", "1.02.3", "01", "02", "a" } },
    { "empty fields",    { "", "", "MV-14", "", "", "", "", "", "", "", "" } },
    { "some not given",  { "Morvane", nullptr, "MV-14", nullptr, "Board Co", "B1", "EDK II", "1.0", nullptr, "00", "3" } },
    { "non-ASCII bytes", { "M\xC3\xB8rvane", "\xF0\x9F\x92\xBB", "Caf\xE9", "\xC3\x28", "Board", "B1", "EDK II", "1.0", "01", "00", "a" } },
    { "spaces kept",     { "Morvane ", " MV 14", "MV-14  ", "\tSKU", "Board\t", "B1", "EDK II ", "1.0 ", "01", "00", "a" } },
  };

  for (const Case &C : Cases) {
    EC_HWID_FIELDS  Fields{};
    std::string     KeyFile = "[HwIds]\n";

    for (size_t F = 0; F < EC_HWID_FIELD_COUNT; F++) {
      if (C.Field[F] == nullptr) {
        continue;
      }

      Fields.Field[F].Text   = C.Field[F];
      Fields.Field[F].Length = std::string (C.Field[F]).size ();
      KeyFile               += std::string (Keys[F]) + "=";
      for (const char *Char = C.Field[F]; *Char != 0; Char++) {
        // The key file's own escapes keep white space where it is.
        KeyFile += (*Char == ' ') ? std::string ("\\s") : (*Char == '\t') ? std::string ("\\t") : std::string (1, *Char);
      }

      KeyFile += "\n";
    }

    Write ("fields.ini", Bytes (KeyFile.begin (), KeyFile.end ()));
    EXPECT_EQ (Ours (Fields), Fwupd ("'" + Dir + "/fields.ini'")) << C.What;
  }
}

// A capsule names a machine only by one of its IDs that names one model:
// HardwareID-0 to -9, the field that tells models apart (the product name,
// the SKU in -6 and -7) not blank, and not equal to one of -10 to -14.
TEST (HwIdMatchTest, ACapsuleNamesTheMachineOnlyByAnIdThatNamesOneModel) {
  static const Machine  Full         = { "", "Morvane", "MV-14", "SKU", "Fam", "EDK II", "1.0", 1, 2, "Morvane", "B", 3 };
  static const Machine  NoRelease    = { "", "Morvane", "MV-14", "SKU", "Fam", "EDK II", "1.0", 1, 2, "Morvane", "B", 3, 0x14 };
  static const Machine  NoSku        = { "", "Morvane", "MV-14", nullptr, "Fam", "EDK II", "1.0", 1, 2, "Morvane", "B", 3 };
  static const Machine  Placeholder  = { "", "Morvane", "MV-14", "Default string", "Default string", "EDK II", "1.0", 1, 2, "Morvane", "B", 3 };
  static const Machine  BlankSku     = { "", "Morvane", "MV-14", "  \t", "Fam", "EDK II", "1.0", 1, 2, "Morvane", "B", 3 };
  static const Machine  NoName       = { "", "Morvane", "   ", "SKU", "Fam", "EDK II", "1.0", 1, 2, "Morvane", "B", 3 };
  static const Machine  NameIsFamily = { "", "Morvane", "MV", "SKU", "MV", "EDK II", "1.0", 1, 2, "Morvane", "B", 3 };
  const int             NIL = -1, OTHER = -2, REFUSED = -1;
  struct Case {
    const char     *What;
    const Machine  &M;
    int            Named;    // the machine's ID the capsule names, or NIL, or OTHER
    int            Which;    // the ID it is taken for, or REFUSED
  };
  static const Case  Cases[] = {
    { "HardwareID-9, every field given",              Full,         9,     9       },
    { "HardwareID-0, the narrowest",                  Full,         0,     0       },
    { "HardwareID-7, maker and SKU",                  Full,         7,     7       },
    { "HardwareID-10, a family's",                    Full,         10,    REFUSED },
    { "HardwareID-14, the maker's",                   Full,         14,    REFUSED },
    { "a GUID the machine does not have",             Full,         OTHER, REFUSED },
    { "the nil GUID, IDs 0 to 2 missing",             NoRelease,    NIL,   REFUSED },
    { "no SKU: HardwareID-7 is every such model's",   NoSku,        7,     REFUSED },
    { "no SKU: HardwareID-6",                         NoSku,        6,     REFUSED },
    { "no SKU: HardwareID-4 has the product name",    NoSku,        4,     4       },
    { "SKU and family one placeholder: -7 is -11",    Placeholder,  7,     REFUSED },
    { "SKU and family one placeholder: -6 is -10",    Placeholder,  6,     REFUSED },
    { "a SKU of white space the reader leaves in",    BlankSku,     7,     REFUSED },
    { "a product name of spaces: HardwareID-9",       NoName,       9,     REFUSED },
    { "a product name of spaces: HardwareID-7 holds the SKU", NoName, 7,   7       },
    { "the product name is the family: -9 is -11",    NameIsFamily, 9,     REFUSED },
  };

  for (const Case &C : Cases) {
    EC_HWID_FIELDS  Fields;
    EC_HWIDS        Ids;
    EFI_GUID        Guid  = {};
    UINTN           Which = 99;
    Bytes           Dmi   = Table (C.M);

    EcHwIdFieldsFromSmbios (Dmi.data (), Dmi.size (), &Fields);
    ASSERT_EQ (EcHwIdsCompute (&Fields, &Ids), EFI_SUCCESS) << C.What;
    if (C.Named >= 0) {
      ASSERT_TRUE (Ids.Present[C.Named]) << C.What;
      Guid = Ids.Id[C.Named];
    } else if (C.Named == OTHER) {
      Guid = Ids.Id[9];
      Guid.Data4[7] ^= 1;
    }

    const bool  Taken = EcHwIdsMatch (&Ids, &Guid, &Which);
    EXPECT_EQ (Taken ? static_cast<int>(Which) : REFUSED, C.Which) << C.What;
    EXPECT_EQ (C.Named >= 0 && EcHwIdNamesModel (&Ids, C.Named), Taken) << C.What;
  }
}

// A table cut anywhere is read only as far as it goes.
TEST (HwIdMatchTest, ATableCutAnywhereIsReadOnlyAsFarAsItGoes) {
  EC_HWID_FIELDS  Fields;
  EC_HWIDS        Ids;
  Bytes           Dmi = Table ({ "plain", "Morvane", "MV-14", "SKU", "Fam", "EDK II", "1.0", 1, 2, "Morvane", "B", 3 });

  for (size_t Size = 0; Size < Dmi.size (); Size++) {
    Bytes  Cut (Dmi.begin (), Dmi.begin () + Size);
    EcHwIdFieldsFromSmbios (Cut.data (), Cut.size (), &Fields);
    EXPECT_EQ (EcHwIdsCompute (&Fields, &Ids), EFI_SUCCESS);
  }
}

}  // namespace
