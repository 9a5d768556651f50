/** @file
  CATALOG.TXT: what the parser takes, every way an index is refused by its
  line, and the machine's choice from it, as one table of cases.

**/

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>
#include <string>
#include <vector>

#include "EcCatalog.h"
#include "Firmware.h"

namespace {

// This machine's IDs: two that name its model, one its whole family.
const char  *const  MODEL     = "a9c3dcfe-1e69-5a88-8064-baf11dffca66";
const char  *const  MODEL_SKU = "0b7f0b11-3f52-5b5f-9e4a-1a2b3c4d5e6f";
const char  *const  FAMILY    = "6de5d951-d755-576b-bd09-c5cf66b27234";
const char  *const  OTHER     = "11111111-2222-3333-4444-555555555555";
const char  *const  IDENTITY  = "4c4c4544-0042-3510-8052-b4c04f4d3332";

EFI_GUID
Guid (
  const std::string  &Text
  )
{
  EFI_GUID      G;
  unsigned int  D[11];

  std::sscanf (Text.c_str (), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &D[0], &D[1], &D[2], &D[3], &D[4], &D[5], &D[6], &D[7], &D[8], &D[9], &D[10]);
  G.Data1 = D[0];
  G.Data2 = static_cast<UINT16>(D[1]);
  G.Data3 = static_cast<UINT16>(D[2]);
  for (int Index = 0; Index < 8; Index++) {
    G.Data4[Index] = static_cast<UINT8>(D[3 + Index]);
  }

  return G;
}

// The phase rule written again from its definition, with OpenSSL's SHA-1.
unsigned
Bucket (
  const std::string  &Identity,
  const std::string  &HwId,
  const std::string  &Version
  )
{
  std::string    Text = Identity + "/" + HwId + "/" + Version;
  unsigned char  Digest[SHA_DIGEST_LENGTH];

  SHA1 (reinterpret_cast<const unsigned char *>(Text.data ()), Text.size (), Digest);
  return ((static_cast<uint32_t>(Digest[0]) << 24) | (Digest[1] << 16) | (Digest[2] << 8) | Digest[3]) % 100;
}

struct Parsed {
  EFI_STATUS   Status;
  EC_CATALOG   *Catalog;
  std::string  Refusal;
};

Parsed
Parse (
  const std::string  &Text,
  EC_CATALOG         *Catalog
  )
{
  Parsed  Out;
  CHAR16  Refusal[CATALOG_REFUSAL_CHARS];

  Out.Catalog = Catalog;
  Out.Status  = CatalogParse (reinterpret_cast<const UINT8 *>(Text.data ()), Text.size (), reinterpret_cast<const CHAR16 *>(u"CATALOG.TXT"), Catalog, Refusal, sizeof (Refusal));
  for (const CHAR16 *C = Refusal; *C != 0; C++) {
    Out.Refusal += static_cast<char>(*C);
  }

  return Out;
}

std::string
Line (
  const std::string  &Name,
  const std::string  &HwId,
  const std::string  &Version,
  const std::string  &Phase = "100"
  )
{
  return Name + " " + HwId + " " + Version + " 0x00000100 133989 4579E66A " + Phase + "\n";
}

TEST (CatalogTest, AnIndexAsTheHostWritesIt) {
  static EC_CATALOG  Catalog;
  auto               P = Parse ("# made by make depot\r\n\r\nmorvane-catalog 1\r\n"
                                "ec-a-0102.cap a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x00000102 0x00000100 133989 4579E66A 100\r\n"
                                "# held: ec-a-0103.cap\r\n"
                                "EC_b.0100.cap 11111111-2222-3333-4444-555555555555 0x00000100 0x00000000 16777216 00000000 1",
                                &Catalog);

  ASSERT_EQ (P.Status, EFI_SUCCESS) << P.Refusal;
  ASSERT_EQ (Catalog.Count, 2u);
  const CATALOG_ENTRY  &A = Catalog.Entry[0];
  EXPECT_STREQ (A.Name, "ec-a-0102.cap");
  EXPECT_STREQ (A.HwIdText, MODEL);
  EFI_GUID  Model = Guid (MODEL);
  EXPECT_EQ (memcmp (&A.HwId, &Model, sizeof (Model)), 0);
  EXPECT_EQ (A.Version, 0x102u);
  EXPECT_EQ (A.Lowest, 0x100u);
  EXPECT_EQ (A.Size, 133989u);
  EXPECT_EQ (A.Crc, 0x4579E66Au);
  EXPECT_EQ (A.Phase, 100u);
  EXPECT_EQ (Catalog.Entry[1].Size, 16777216u);
  EXPECT_EQ (Catalog.Entry[1].Phase, 1u);

  // A header and nothing else: an index that offers nothing.
  P = Parse ("morvane-catalog 1\n", &Catalog);
  EXPECT_EQ (P.Status, EFI_SUCCESS);
  EXPECT_EQ (Catalog.Count, 0u);
}

TEST (CatalogTest, EachFaultRefusesTheIndexByItsLine) {
  static EC_CATALOG  Catalog;
  const std::string  Head = "morvane-catalog 1\n";
  const std::string  Good = Line ("a.cap", MODEL, "0x00000102");
  const std::string  Tail = "; nothing was done.\r\n";
  struct Case {
    std::string    File;
    std::string    Refusal;
  };
  const std::vector<Case>  Cases = {
    { "",                                                  "CATALOG.TXT has no 'morvane-catalog 1' line" },
    { "# only\n\n",                                        "CATALOG.TXT has no 'morvane-catalog 1' line" },
    { "morvane-catalog 2\n" + Good,                        "CATALOG.TXT line 1: not 'morvane-catalog 1'" },
    { "# x\n" + Good,                                      "CATALOG.TXT line 2: not 'morvane-catalog 1'" },
    { " morvane-catalog 1\n",                              "CATALOG.TXT line 1: not 'morvane-catalog 1'" },
    { Head + Good + "a.cap " + MODEL + "\n",               "CATALOG.TXT line 3: not 7 fields separated by one space" },
    { Head + "a.cap  " + MODEL + " 0x00000102 0x00000100 1 00000000 100\n", "CATALOG.TXT line 2: not 7 fields separated by one space" },
    { Head + Good.substr (0, Good.size () - 1) + " 1\n",   "CATALOG.TXT line 2: not 7 fields separated by one space" },
    { Head + Good.substr (0, Good.size () - 1) + " \n",    "CATALOG.TXT line 2: not 7 fields separated by one space" },
    { Head + "   \n",                                      "CATALOG.TXT line 2: not 7 fields separated by one space" },
    { Head + Line (".a.cap", MODEL, "0x00000102"),         "CATALOG.TXT line 2: bad NAME: letters, digits, '.', '_', '-', 1 to 64, not starting with '.' or '-', not ending with '.'" },
    { Head + Line ("-a.cap", MODEL, "0x00000102"),         "CATALOG.TXT line 2: bad NAME: letters, digits, '.', '_', '-', 1 to 64, not starting with '.' or '-', not ending with '.'" },
    { Head + Line ("a.cap.", MODEL, "0x00000102"),         "CATALOG.TXT line 2: bad NAME: letters, digits, '.', '_', '-', 1 to 64, not starting with '.' or '-', not ending with '.'" },
    { Head + Line ("a/b.cap", MODEL, "0x00000102"),        "CATALOG.TXT line 2: bad NAME: letters, digits, '.', '_', '-', 1 to 64, not starting with '.' or '-', not ending with '.'" },
    { Head + Line (std::string (65, 'a'), MODEL, "0x00000102"), "CATALOG.TXT line 2: bad NAME: letters, digits, '.', '_', '-', 1 to 64, not starting with '.' or '-', not ending with '.'" },
    { Head + Line ("a.cap", "A9C3DCFE-1E69-5A88-8064-BAF11DFFCA66", "0x00000102"), "CATALOG.TXT line 2: bad HWID: a lower-case GUID without braces" },
    { Head + Line ("a.cap", "{a9c3dcfe-1e69-5a88-8064-baf11dffca6}", "0x00000102"), "CATALOG.TXT line 2: bad HWID: a lower-case GUID without braces" },
    { Head + Line ("a.cap", "a9c3dcfe-1e695-a88-8064-baf11dffca66", "0x00000102"), "CATALOG.TXT line 2: bad HWID: a lower-case GUID without braces" },
    { Head + Line ("a.cap", MODEL, "0x0000010a"),          "CATALOG.TXT line 2: bad VERSION: 0x and 8 upper-case hexadecimal digits" },
    { Head + Line ("a.cap", MODEL, "0X00000102"),          "CATALOG.TXT line 2: bad VERSION: 0x and 8 upper-case hexadecimal digits" },
    { Head + Line ("a.cap", MODEL, "0x000102"),            "CATALOG.TXT line 2: bad VERSION: 0x and 8 upper-case hexadecimal digits" },
    { Head + "a.cap " + MODEL + " 0x00000102 100 1 00000000 100\n",        "CATALOG.TXT line 2: bad LOWEST: 0x and 8 upper-case hexadecimal digits" },
    { Head + "a.cap " + MODEL + " 0x00000102 0x00000100 0 00000000 100\n", "CATALOG.TXT line 2: bad SIZE: 1 to 16777216 bytes, in decimal" },
    { Head + "a.cap " + MODEL + " 0x00000102 0x00000100 16777217 00000000 100\n", "CATALOG.TXT line 2: bad SIZE: 1 to 16777216 bytes, in decimal" },
    { Head + "a.cap " + MODEL + " 0x00000102 0x00000100 0133989 00000000 100\n", "CATALOG.TXT line 2: bad SIZE: 1 to 16777216 bytes, in decimal" },
    { Head + "a.cap " + MODEL + " 0x00000102 0x00000100 -1 00000000 100\n", "CATALOG.TXT line 2: bad SIZE: 1 to 16777216 bytes, in decimal" },
    { Head + "a.cap " + MODEL + " 0x00000102 0x00000100 1 4579e66a 100\n", "CATALOG.TXT line 2: bad CRC32: 8 upper-case hexadecimal digits" },
    { Head + Line ("a.cap", MODEL, "0x00000102", "0"),     "CATALOG.TXT line 2: bad PHASE: 1 to 100" },
    { Head + Line ("a.cap", MODEL, "0x00000102", "101"),   "CATALOG.TXT line 2: bad PHASE: 1 to 100" },
    { Head + Line ("a.cap", MODEL, "0x00000102", "050"),   "CATALOG.TXT line 2: bad PHASE: 1 to 100" },
    { Head + Good + "# c\n" + Line ("b.cap", MODEL, "0x00000102"), "CATALOG.TXT line 4: the same HWID and VERSION as line 2" },
    { Head + Good + "a.cap\t" + MODEL + "\n",              "CATALOG.TXT line 3: not printable ASCII" },
    { Head + "# " + std::string (255, 'x') + "\n",         "CATALOG.TXT line 2: longer than 256 characters" },
    { Head + std::string (65537 - Head.size (), '#'),      "CATALOG.TXT is larger than 65536 bytes" },
  };

  for (const Case &C : Cases) {
    auto  P = Parse (C.File, &Catalog);
    EXPECT_EQ (P.Status, EFI_INVALID_PARAMETER) << C.Refusal;
    EXPECT_EQ (P.Refusal, C.Refusal + Tail);
  }

  // The fullest index the byte bound lets through: every entry is kept (the
  // bound of 1024 entries lies beyond it).
  std::string  Full = Head;
  char         Entry[128];
  for (int Index = 0; Index < 885; Index++) {
    std::snprintf (Entry, sizeof (Entry), "a %s 0x%08X 0x00000000 1 00000000 1\n", MODEL, Index);
    Full += Entry;
  }

  ASSERT_LE (Full.size (), 65536u);
  EXPECT_EQ (Parse (Full, &Catalog).Status, EFI_SUCCESS);
  EXPECT_EQ (Catalog.Count, 885u);
}

TEST (CatalogTest, TheMachineTakesTheNewestOfItsOwnThatClearsItsFloorAndPhase) {
  static EC_CATALOG  Catalog;
  EC_HWIDS           Ids = {};

  Ids.Present[3] = Ids.Present[5] = Ids.Present[10] = TRUE;
  Ids.Id[3]      = Guid (MODEL);
  Ids.Id[5]      = Guid (MODEL_SKU);
  Ids.Id[10]     = Guid (FAMILY);

  // A phase this machine is in, and one it is not, for MODEL 0x00000102.
  unsigned  B = Bucket (IDENTITY, MODEL, "0x00000102");
  ASSERT_GT (B, 0u) << "pick another identity";
  const std::string  In  = std::to_string (B + 1);
  const std::string  Out = std::to_string (B);

  struct Case {
    const char        *What;
    std::string       Entries;
    bool              HasRecord;
    UINT32            Version;
    UINT32            Floor;
    CATALOG_CHOICE    Choice;
    const char        *Name;
  };
  const std::vector<Case>  Cases = {
    { "newest",             Line ("a0.cap", MODEL, "0x00000100") + Line ("a2.cap", MODEL, "0x00000102") + Line ("a1.cap", MODEL, "0x00000101"), true, 0x100, 0x100, CatalogFetch, "a2.cap" },
    { "no record",          Line ("a0.cap", MODEL, "0x00000100"), false, 0, 0, CatalogFetch, "a0.cap" },
    { "no record, 0",       Line ("z.cap", MODEL, "0x00000000"), false, 0, 0, CatalogFetch, "z.cap" },
    { "floor",              Line ("a2.cap", MODEL, "0x00000102", Out) + Line ("a0.cap", MODEL, "0x00000100"), true, 0x101, 0x101, CatalogNoImage, "" },
    { "floor met exactly",  Line ("a1.cap", MODEL, "0x00000101"), true, 0x102, 0x101, CatalogFetch, "a1.cap" },
    { "hold (absent)",      Line ("a1.cap", MODEL, "0x00000101"), true, 0x100, 0x100, CatalogFetch, "a1.cap" },
    { "pin (only one)",     Line ("a0.cap", MODEL, "0x00000100"), true, 0x102, 0x100, CatalogFetch, "a0.cap" },
    { "phased in",          Line ("a0.cap", MODEL, "0x00000100") + Line ("a2.cap", MODEL, "0x00000102", In), true, 0x100, 0x100, CatalogFetch, "a2.cap" },
    { "phased out",         Line ("a2.cap", MODEL, "0x00000102", Out) + Line ("a0.cap", MODEL, "0x00000100"), true, 0x0FF, 0, CatalogFetch, "a0.cap" },
    { "two equal",          Line ("s.cap", MODEL_SKU, "0x00000102") + Line ("m.cap", MODEL, "0x00000102"), true, 0x100, 0, CatalogFetch, "s.cap" },
    { "none",               Line ("b.cap", OTHER, "0x00000200"), true, 0x100, 0, CatalogNoImage, "" },
    { "empty index",        "", false, 0, 0, CatalogNoImage, "" },
    { "already there",      Line ("a0.cap", MODEL, "0x00000100") + Line ("a2.cap", MODEL, "0x00000102"), true, 0x102, 0x100, CatalogUpToDate, "a2.cap" },
    { "family-wide ID",     Line ("f.cap", FAMILY, "0x00000300") + Line ("a0.cap", MODEL, "0x00000100"), true, 0x0FF, 0, CatalogFetch, "a0.cap" },
    { "family-wide only",   Line ("f.cap", FAMILY, "0x00000300"), false, 0, 0, CatalogNoImage, "" },
  };

  for (const Case &C : Cases) {
    ASSERT_EQ (Parse ("morvane-catalog 1\n" + C.Entries, &Catalog).Status, EFI_SUCCESS) << C.What;
    CATALOG_MACHINE  Machine = { &Ids, C.HasRecord, C.Version, C.Floor, IDENTITY };
    UINTN            Chosen  = CATALOG_MAX_ENTRIES;
    CATALOG_CHOICE   Choice  = CatalogChoose (&Catalog, &Machine, &Chosen);

    EXPECT_EQ (Choice, C.Choice) << C.What;
    if (Choice != CatalogNoImage) {
      ASSERT_LT (Chosen, Catalog.Count) << C.What;
      EXPECT_STREQ (Catalog.Entry[Chosen].Name, C.Name) << C.What;
    }
  }
}

TEST (CatalogTest, APhaseReachesItsShareOfMachinesAndTheSameMachineEachBoot) {
  CATALOG_ENTRY  Entry = {};
  char           Identity[40];

  std::snprintf (Entry.HwIdText, sizeof (Entry.HwIdText), "%s", MODEL);
  Entry.Version = 0x102;
  for (UINT32 Percent : { 10u, 50u, 90u }) {
    Entry.Phase = Percent;
    int  Offered = 0;
    for (int Machine = 0; Machine < 10000; Machine++) {
      std::snprintf (Identity, sizeof (Identity), "%08x-0000-4000-8000-%012d", Machine * 7919, Machine);
      BOOLEAN  First = CatalogInPhase (Identity, &Entry);
      EXPECT_EQ (First, CatalogInPhase (Identity, &Entry));
      EXPECT_EQ (First, Bucket (Identity, MODEL, "0x00000102") < Percent) << Identity;
      Offered += First;
    }

    EXPECT_NEAR (Offered / 100.0, Percent, 2.0) << Percent;
  }
}

TEST (CatalogTest, TheIdentityIsTheUuidInLowerCaseElseTheSerial) {
  struct Case {
    const char16_t    *Uuid;
    const char16_t    *Serial;
    const char        *Identity;
  };
  const Case  Cases[] = {
    { u"4C4C4544-0042-3510-8052-B4C04F4D3332", u"SN1", "4c4c4544-0042-3510-8052-b4c04f4d3332" },
    { u"-",                                    u"ABC_12", "ABC_12" },
    { u"-",                                    u"-", "-" },
  };

  for (const Case &C : Cases) {
    CHAR8  Identity[CATALOG_IDENTITY_CHARS + 1];
    CatalogIdentity (reinterpret_cast<const CHAR16 *>(C.Uuid), reinterpret_cast<const CHAR16 *>(C.Serial), Identity, sizeof (Identity));
    EXPECT_STREQ (Identity, C.Identity);
  }
}

}  // namespace
