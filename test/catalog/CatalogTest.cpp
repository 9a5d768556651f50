/** @file
  The catalogue's host side (scripts/catalog/): rollout.cfg as written by
  hand, the rules between capsules, the rollout applied to the index. The
  fields files are read by scripts/HwIdFields.cpp (test/capsule_tool.py).

**/

#include <gtest/gtest.h>

#include <sstream>

#include "Catalog.h"
#include "Rollout.h"

namespace {

const char  *MODEL_A = "a9c3dcfe-1e69-5a88-8064-baf11dffca66";
const char  *MODEL_B = "a8adf2a2-f717-5262-817b-2a5da53436dc";

struct RolloutCase {
  const char  *Text;
  const char  *Refusal;   // "" when taken
  size_t      Rules;
};

const RolloutCase  mRolloutCases[] = {
  { "", "", 0 },
  { "# only a comment\r\n\r\n   \n", "", 0 },
  { "hold  a9c3dcfe-1e69-5a88-8064-baf11dffca66\npin a8adf2a2-f717-5262-817b-2a5da53436dc 0x102\n"
    "phase\tec-a-0102.cap 25\r\n", "", 3 },
  { "phase ec.cap 100\npin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0xFFFFFFFF\nphase a9c3dcfe-1e69-5a88-8064-baf11dffca66 1", "", 3 },
  { "hold ec.cap\nhodl ec2.cap\n", "rollout.cfg line 2: unknown rule 'hodl'", 0 },
  { "HOLD ec.cap\n", "rollout.cfg line 1: unknown rule 'HOLD'", 0 },
  { "hold ec.cap extra\n", "rollout.cfg line 1: 'hold' takes one value", 0 },
  { "phase ec.cap\n", "rollout.cfg line 1: 'phase' takes two values", 0 },
  { "phase ec.cap 0\n", "rollout.cfg line 1: the share is not a whole percent from 1 to 100", 0 },
  { "phase ec.cap 101\n", "rollout.cfg line 1: the share is not a whole percent", 0 },
  { "phase ec.cap 050\n", "rollout.cfg line 1: the share is not a whole percent", 0 },
  { "phase ec.cap 5%\n", "rollout.cfg line 1: the share is not a whole percent", 0 },
  { "pin ec.cap 0x1\n", "rollout.cfg line 1: pin takes a hardware ID", 0 },
  { "pin A9C3DCFE-1E69-5A88-8064-BAF11DFFCA66 0x1\n", "rollout.cfg line 1: pin takes a hardware ID", 0 },
  { "pin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x123456789\n", "rollout.cfg line 1: the version is not 0x", 0 },
  { "pin a9c3dcfe-1e69-5a88-8064-baf11dffca66 258\n", "rollout.cfg line 1: the version is not 0x", 0 },
  { "hold {a9c3dcfe-1e69-5a88-8064-baf11dffca66}\n", "rollout.cfg line 1: the target is neither", 0 },
  { "hold ../ec.cap\n", "rollout.cfg line 1: the target is neither", 0 },
  { "hold .ec.cap\n", "rollout.cfg line 1: the target is neither", 0 },
  { "hold ec.cap.\n", "rollout.cfg line 1: the target is neither", 0 },
  { "hold ec.cap\nphase ec.cap 50\n", "rollout.cfg line 2: a second rule for ec.cap (line 1)", 0 },
  { "pin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x1\n# x\npin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x2\n",
    "rollout.cfg line 3: a second rule for a9c3dcfe-1e69-5a88-8064-baf11dffca66 (line 1)", 0 },
  { "hold ec.cap\x01\n", "rollout.cfg line 1: not printable ASCII", 0 },
  { "hold ec\xc3\xa9.cap\n", "rollout.cfg line 1: not printable ASCII", 0 },
};

TEST (Rollout, TakesRulesAndRefusesEachMistakeWithItsLine) {
  for (const RolloutCase &Case : mRolloutCases) {
    std::vector<RolloutRule>  Rules;
    std::string               Said = ParseRollout (Case.Text, Rules);

    EXPECT_EQ (Said.substr (0, std::string (Case.Refusal).size ()), Case.Refusal) << Case.Text;
    EXPECT_EQ (Said.empty (), *Case.Refusal == 0) << Case.Text << " said " << Said;
    EXPECT_EQ (Rules.size (), Case.Rules) << Case.Text;
  }

  std::vector<RolloutRule>  Rules;
  EXPECT_EQ (ParseRollout ("hold x.cap\n" + std::string (300, '#') + "\n", Rules), "rollout.cfg line 2: longer than 256 characters");
  EXPECT_EQ (ParseRollout (std::string (65537, '\n'), Rules), "rollout.cfg: over 64 KiB");
}

CatalogCapsule
Capsule (
  const std::string  &Name,
  const std::string  &Hwid,
  std::uint32_t      Version
  )
{
  CatalogCapsule  C;

  C.Name    = Name;
  C.Hwid    = Hwid;
  C.Version = Version;
  C.Lowest  = 0x100;
  C.Size    = 133989;
  C.Crc     = 0x4579E66A;
  C.Digest  = Name;
  C.Signer  = "EC release signing";
  return C;
}

// C with fields whose HardwareID-0..14 are absent but Hwid as ID Which,
// which names one model or not (as EcHwIdNamesModel would have it).
CatalogCapsule
WithIds (
  CatalogCapsule     C,
  const std::string  &Hwid,
  unsigned           Which,
  bool               NamesModel
  )
{
  C.FieldIds.assign (CATALOG_ALL_IDS, "");
  C.FieldNamesModel.assign (CATALOG_ALL_IDS, false);
  C.FieldIds[Which]        = Hwid;
  C.FieldNamesModel[Which] = NamesModel;
  return C;
}

struct CheckCase {
  const char                   *What;
  std::vector<CatalogCapsule>  Capsules;
  const char                   *Refusal;   // "" when sound
  size_t                       Left;
};

TEST (CatalogCheck, RefusesWhatMachinesCouldNotTellApart) {
  CatalogCapsule  Copy    = Capsule ("ec-a-copy.cap", MODEL_A, 0x102);
  CatalogCapsule  Fielded = WithIds (Capsule ("ec-b.cap", MODEL_B, 0x102), MODEL_B, 9, true);
  CatalogCapsule  Family  = WithIds (Capsule ("ec-fam.cap", MODEL_A, 0x200), MODEL_B, 3, true);
  CatalogCapsule  Large   = Capsule ("ec-large.cap", MODEL_B, 0x1);
  CatalogCapsule  Widest  = WithIds (Capsule ("ec-a.cap", MODEL_A, 1), MODEL_A, 9, false);

  Copy.Digest       = "ec-a.cap";
  Large.Size        = 16 * 1024 * 1024 + 1;
  // Its HardwareID-9 is also its -11 (the family's text is the product name).
  Widest.FieldIds[11] = MODEL_A;
  const CheckCase  Cases[] = {
    { "two models, two versions", { Capsule ("ec-a.cap", MODEL_A, 0x102), Capsule ("ec-a2.cap", MODEL_A, 0x103),
                                    Fielded }, "", 3 },
    { "identical copies", { Capsule ("ec-a.cap", MODEL_A, 0x102), Copy }, "", 1 },
    { "one ID and version twice", { Capsule ("ec-a.cap", MODEL_A, 0x102), Capsule ("ec-z.cap", MODEL_A, 0x102) },
      "ec-a.cap and ec-z.cap: two different capsules for hardware ID a9c3dcfe-1e69-5a88-8064-baf11dffca66 version 0x00000102", 0 },
    { "FAT folds case", { Capsule ("EC.cap", MODEL_A, 0x1), Capsule ("ec.cap", MODEL_B, 0x1) },
      "EC.cap and ec.cap: one name on a FAT volume", 0 },
    { "nil ID", { Capsule ("ec.cap", "00000000-0000-0000-0000-000000000000", 1) },
      "ec.cap: its hardware ID 00000000-0000-0000-0000-000000000000 is no hardware ID", 0 },
    { "random ID", { Capsule ("ec.cap", "a9c3dcfe-1e69-4a88-8064-baf11dffca66", 1) }, "ec.cap: its hardware ID", 0 },
    { "ID not of its fields", { Capsule ("ec-a.cap", MODEL_A, 1), Family },
      "ec-fam.cap: its hardware ID a9c3dcfe-1e69-5a88-8064-baf11dffca66 is none of the hardware IDs of ec-fam.fields", 0 },
    { "a family's ID", { WithIds (Capsule ("ec-a.cap", MODEL_A, 1), MODEL_A, 11, false) },
      "ec-a.cap: its hardware ID is HardwareID-11 of ec-a.fields, which names a family or a maker", 0 },
    { "a model's ID that is also its family's", { Widest },
      "ec-a.cap: its hardware ID is HardwareID-11 of ec-a.fields, which names a family or a maker, not one model", 0 },
    { "a model's ID its blank SKU makes the maker's", { WithIds (Capsule ("ec-a.cap", MODEL_A, 1), MODEL_A, 7, false) },
      "ec-a.cap: its hardware ID is HardwareID-7 of ec-a.fields, which does not name one model: the product name or SKU"
      " it is made of is blank", 0 },
    { "another capsule's maker ID", { Capsule ("ec-a.cap", MODEL_A, 1),
                                      [&] { auto C = WithIds (Capsule ("ec-b.cap", MODEL_B, 1), MODEL_B, 9, true);
                                            C.FieldIds[13] = MODEL_A; return C; } () },
      "ec-a.cap: its hardware ID is HardwareID-13 of ec-b.fields", 0 },
    { "another capsule's blank-SKU ID", { Capsule ("ec-a.cap", MODEL_A, 1),
                                          [&] { auto C = WithIds (Capsule ("ec-b.cap", MODEL_B, 1), MODEL_B, 9, true);
                                                C.FieldIds[7] = MODEL_A; return C; } () },
      "ec-a.cap: its hardware ID is HardwareID-7 of ec-b.fields, which does not name one model", 0 },
    { "over what the index may name", { Large }, "ec-large.cap: the file is over 16 MiB", 0 },
  };

  for (const CheckCase &Case : Cases) {
    std::vector<CatalogCapsule>  Capsules = Case.Capsules;
    std::vector<std::string>     Notes;
    std::string                  Said     = CatalogCheck (Capsules, Notes);

    EXPECT_EQ (Said.substr (0, std::string (Case.Refusal).size ()), Case.Refusal) << Case.What;
    EXPECT_EQ (Said.empty (), *Case.Refusal == 0) << Case.What << ": " << Said;
    if (Said.empty ()) {
      EXPECT_EQ (Capsules.size (), Case.Left) << Case.What;
    }
  }
}

struct RolloutApplyCase {
  const char  *Rules;
  const char  *Refusal;
  const char  *Words;    // each capsule's rollout word, in catalogue order, ';'-separated
  const char  *Phases;   // each offered entry's PHASE, by index order
};

TEST (CatalogRollout, HoldPinAndPhaseShapeTheIndex) {
  const RolloutApplyCase  Cases[] = {
    { "", "", "offered;offered;offered", "100 100 100" },
    { "hold a9c3dcfe-1e69-5a88-8064-baf11dffca66\n", "", "offered;hold;hold", "100" },
    { "hold a9c3dcfe-1e69-5a88-8064-baf11dffca66\nphase ec-a-0103.cap 10\n", "", "offered;hold;phase 10%", "100 10" },
    { "phase a9c3dcfe-1e69-5a88-8064-baf11dffca66 30\nhold ec-a-0103.cap\n", "", "offered;phase 30%;hold", "100 30" },
    { "pin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x102\n", "", "offered;pin;pinned to 0x00000102", "100 100" },
    { "pin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x102\nphase a9c3dcfe-1e69-5a88-8064-baf11dffca66 5\n", "",
      "offered;pin, phase 5%;pinned to 0x00000102", "100 5" },
    { "pin a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x104\n", "rollout.cfg line 1: the catalogue holds no version 0x00000104 for", "", "" },
    { "# two\n\nhold 00000000-0000-5000-8000-000000000000\n", "rollout.cfg line 3: no capsule in the catalogue is for", "", "" },
    { "phase ec-a-0999.cap 50\n", "rollout.cfg line 1: no capsule in the catalogue is named ec-a-0999.cap", "", "" },
  };

  for (const RolloutApplyCase &Case : Cases) {
    std::vector<CatalogCapsule>  Capsules = { Capsule ("ec-b.cap", MODEL_B, 0x1), Capsule ("ec-a-0102.cap", MODEL_A, 0x102),
                                              Capsule ("ec-a-0103.cap", MODEL_A, 0x103) };
    std::vector<RolloutRule>     Rules;
    std::vector<std::string>     Notes;
    std::string                  Index;

    ASSERT_EQ (ParseRollout (Case.Rules, Rules), "");
    ASSERT_EQ (CatalogCheck (Capsules, Notes), "");
    std::string  Said = CatalogApplyRollout (Capsules, Rules);
    EXPECT_EQ (Said.substr (0, std::string (Case.Refusal).size ()), Case.Refusal) << Case.Rules;
    if (!Said.empty ()) {
      continue;
    }

    std::string  Words, Phases;
    for (const CatalogCapsule &C : Capsules) {
      Words += (Words.empty () ? "" : ";") + C.Rollout;
    }

    ASSERT_EQ (CatalogIndex (Capsules, Index), "");
    std::istringstream  Lines (Index);
    for (std::string Line; std::getline (Lines, Line); ) {
      if ((Line[0] != '#') && (Line != "morvane-catalog 1")) {
        Phases += (Phases.empty () ? "" : " ") + Line.substr (Line.rfind (' ') + 1);
      }
    }

    EXPECT_EQ (Words, Case.Words) << Case.Rules;
    EXPECT_EQ (Phases, Case.Phases) << Case.Rules;
  }
}

TEST (CatalogIndex, WritesTheSharedFormatWithinItsBounds) {
  std::vector<CatalogCapsule>  Capsules = { Capsule ("ec-a-0102.cap", MODEL_A, 0x102) };
  std::string                  Index;

  Capsules[0].Phase = 25;
  ASSERT_EQ (CatalogIndex (Capsules, Index), "");
  EXPECT_EQ (Index.substr (Index.find ("morvane-catalog")),
             "morvane-catalog 1\nec-a-0102.cap a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x00000102 0x00000100 133989 4579E66A 25\n");

  // 1,025 offered entries are one too many; 500 long names are too many bytes.
  Capsules.assign (1025, Capsules[0]);
  EXPECT_EQ (CatalogIndex (Capsules, Index).substr (0, 36), "the index would offer 1025 capsules;");
  Capsules.assign (500, Capsule (std::string (60, 'n') + ".cap", MODEL_A, 1));
  EXPECT_EQ (CatalogIndex (Capsules, Index).substr (0, 30), "the index would be 72122 bytes");
}

}  // namespace
