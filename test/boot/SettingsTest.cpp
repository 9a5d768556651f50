/** @file
  MORVANE.CFG: what the parser takes, and every way a file is refused by
  its line.

**/

#include <gtest/gtest.h>

#include <string>

#include "Firmware.h"
#include "Settings.h"

namespace {

struct Parsed {
  EFI_STATUS        Status;
  MORVANE_SETTINGS  Settings;
  std::string       Refusal;
};

Parsed
Parse (
  const std::string  &Text,
  BOOLEAN            FromDepot = FALSE
  )
{
  Parsed  Out;
  CHAR16  Refusal[SETTINGS_REFUSAL_CHARS];

  Out.Status  = SettingsParse (reinterpret_cast<const UINT8 *>(Text.data ()), Text.size (), FromDepot, &Out.Settings, Refusal, sizeof (Refusal));
  for (const CHAR16 *C = Refusal; *C != 0; C++) {
    Out.Refusal += static_cast<char>(*C);
  }

  return Out;
}

std::string
Text (
  const CHAR16  *Field
  )
{
  return Fake::Narrow (reinterpret_cast<const char16_t *>(Field));
}

TEST (SettingsTest, AFileAsTheStickWritesItOrAsAnEditorSavesIt) {
  auto  P = Parse ("\xEF\xBB\xBF# Morvane stick\r\nimage=ec_fw-1.2.bin\r\n\r\ncrc32=1a2B3c4D\r\nmodel=Morv 7 (#2) \"x\"\r\n"
                   "update=no\r\nsave=no\r\ndepot=http://10.0.2.2:8080/morvane/\r\n");

  ASSERT_EQ (P.Status, EFI_SUCCESS) << P.Refusal;
  EXPECT_EQ (Text (P.Settings.Image), "ec_fw-1.2.bin");
  EXPECT_TRUE (P.Settings.HasCrc);
  EXPECT_EQ (P.Settings.Crc, 0x1A2B3C4Du);
  EXPECT_EQ (Text (P.Settings.Model), "Morv 7 (#2) \"x\"");
  EXPECT_FALSE (P.Settings.Update);
  EXPECT_FALSE (P.Settings.Save);
  ASSERT_TRUE (P.Settings.HasDepot);
  EXPECT_EQ (Text (P.Settings.Depot), "http://10.0.2.2:8080/morvane/");

  // LF ends, no last line end, the optional keys left out.
  P = Parse ("image=ec.bin\ncrc32=00000000");
  ASSERT_EQ (P.Status, EFI_SUCCESS) << P.Refusal;
  EXPECT_TRUE (P.Settings.Update);
  EXPECT_TRUE (P.Settings.Save);
  EXPECT_FALSE (P.Settings.HasModel);
  EXPECT_FALSE (P.Settings.HasDepot);

  // No crc32=: taken here, for a capsule; the run refuses a raw image.
  P = Parse ("# nothing\r\nimage=ec.bin\r\n");
  ASSERT_EQ (P.Status, EFI_SUCCESS) << P.Refusal;
  EXPECT_FALSE (P.Settings.HasCrc);
  EXPECT_FALSE (P.Settings.HasCatalog);

  // A catalogue instead of an image, from a depot as from a stick.
  P = Parse ("catalog=CATALOG.TXT\nupdate=no\n", TRUE);
  ASSERT_EQ (P.Status, EFI_SUCCESS) << P.Refusal;
  ASSERT_TRUE (P.Settings.HasCatalog);
  EXPECT_EQ (Text (P.Settings.Catalog), "CATALOG.TXT");
  EXPECT_EQ (Text (P.Settings.Image), "");
  EXPECT_FALSE (P.Settings.Update);
}

TEST (SettingsTest, EachFaultRefusesTheFileByItsLine) {
  const std::string  Good = "image=ec.bin\r\ncrc32=1A2B3C4D\r\n";
  struct Case {
    std::string    File;
    std::string    Refusal;
  };
  const Case  Cases[] = {
    { Good + "imgae=ec.bin\r\n",          "MORVANE.CFG line 3: unknown key 'imgae'; nothing was done.\r\n" },
    { Good + "IMAGE=ec.bin\r\n",          "MORVANE.CFG line 3: unknown key 'IMAGE'; nothing was done.\r\n" },
    { Good + std::string (200, 'k') + "=1\r\n", "MORVANE.CFG line 3: unknown key '" + std::string (32, 'k') + "...'; nothing was done.\r\n" },
    { Good + "image=other.bin\r\n",       "MORVANE.CFG line 3: 'image' given twice; nothing was done.\r\n" },
    { Good + "model = Morv 7\r\n",        "MORVANE.CFG line 3: a space around '='; nothing was done.\r\n" },
    { Good + "update\r\n",                "MORVANE.CFG line 3: not key=value; nothing was done.\r\n" },
    { Good + "=yes\r\n",                  "MORVANE.CFG line 3: not key=value; nothing was done.\r\n" },
    { Good + " # indented\r\n",           "MORVANE.CFG line 3: not key=value; nothing was done.\r\n" },
    { Good + "model=Morv\xC3\xA9\r\n",    "MORVANE.CFG line 3: not printable ASCII; nothing was done.\r\n" },
    { Good + "model=a\tb\r\n",            "MORVANE.CFG line 3: not printable ASCII; nothing was done.\r\n" },
    { Good + "model=" + std::string (251, 'M') + "\r\n", "MORVANE.CFG line 3: longer than 256 characters; nothing was done.\r\n" },
    { "image=ec.bin\r\ncrc32=1A2B3C4\r\n", "MORVANE.CFG line 2: bad value for 'crc32' (8 hexadecimal digits); nothing was done.\r\n" },
    { "image=ec.bin\r\ncrc32=1A2B3C4G\r\n", "MORVANE.CFG line 2: bad value for 'crc32' (8 hexadecimal digits); nothing was done.\r\n" },
    { "image=..\\ec.bin\r\n",             "MORVANE.CFG line 1: bad value for 'image' (a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'); nothing was done.\r\n" },
    { "image=..\r\n",                     "MORVANE.CFG line 1: bad value for 'image' (a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'); nothing was done.\r\n" },
    { "image=MORVANE.CFG.\r\n",          "MORVANE.CFG line 1: bad value for 'image' (a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'); nothing was done.\r\n" },
    { "image=morvane.log\r\n",            "MORVANE.CFG line 1: bad value for 'image' (a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'); nothing was done.\r\n" },
    { "image=" + std::string (65, 'e') + "\r\n", "MORVANE.CFG line 1: bad value for 'image' (a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'); nothing was done.\r\n" },
    { Good + "model=\r\n",                "MORVANE.CFG line 3: bad value for 'model' (printable ASCII, not blank, at most 64 characters); nothing was done.\r\n" },
    { Good + "model=" + std::string (65, 'M') + "\r\n", "MORVANE.CFG line 3: bad value for 'model' (printable ASCII, not blank, at most 64 characters); nothing was done.\r\n" },
    { Good + "update=Yes\r\n",            "MORVANE.CFG line 3: bad value for 'update' (yes or no); nothing was done.\r\n" },
    { Good + "save=\r\n",                 "MORVANE.CFG line 3: bad value for 'save' (yes or no); nothing was done.\r\n" },
    { Good + "depot=https://server/\r\n", "MORVANE.CFG line 3: bad value for 'depot' (an http:// URL ending in '/'); nothing was done.\r\n" },
    { Good + "depot=http://server/x\r\n", "MORVANE.CFG line 3: bad value for 'depot' (an http:// URL ending in '/'); nothing was done.\r\n" },
    { Good + "depot=http://" + std::string (242, 'd') + "/\r\n", "MORVANE.CFG line 3: bad value for 'depot' (an http:// URL ending in '/'); nothing was done.\r\n" },
    { "# c\r\n\r\nimage=ec.bin\r\nimgae=x\r\n", "MORVANE.CFG line 4: unknown key 'imgae'; nothing was done.\r\n" },
    { "crc32=1A2B3C4D\r\n",               "MORVANE.CFG has no image= or catalog= line; nothing was done.\r\n" },
    { Good + "catalog=CATALOG.TXT\r\n",   "MORVANE.CFG line 3: 'catalog' and 'image' are not given together; nothing was done.\r\n" },
    { "catalog=CATALOG.TXT\r\nimage=ec.bin\r\n", "MORVANE.CFG line 2: 'image' and 'catalog' are not given together; nothing was done.\r\n" },
    { "crc32=1A2B3C4D\r\ncatalog=CATALOG.TXT\r\n", "MORVANE.CFG line 2: 'catalog' and 'crc32' are not given together; nothing was done.\r\n" },
    { "catalog=CATALOG.TXT\r\nmodel=Morv 7\r\n", "MORVANE.CFG line 2: 'model' and 'catalog' are not given together; nothing was done.\r\n" },
    { "catalog=MORVANE.LOG\r\n",        "MORVANE.CFG line 1: bad value for 'catalog' (a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'); nothing was done.\r\n" },
    { Good + std::string (4096, '#'),     "MORVANE.CFG is larger than 4096 bytes; nothing was done.\r\n" },
  };

  for (const auto &C : Cases) {
    auto  P = Parse (C.File);
    EXPECT_EQ (P.Status, EFI_INVALID_PARAMETER) << C.File;
    EXPECT_EQ (P.Refusal, C.Refusal) << C.File;
  }
}

// The network boot reads the same file from a depot, where a depot= line
// could send the machine on to another server.
TEST (SettingsTest, ADepotLineIsRefusedInAFileFromADepot) {
  auto  P = Parse ("image=ec.bin\ncrc32=1A2B3C4D\ndepot=http://server/\n", TRUE);

  EXPECT_EQ (P.Status, EFI_INVALID_PARAMETER);
  EXPECT_EQ (P.Refusal, "MORVANE.CFG line 3: 'depot' is not taken from a depot; nothing was done.\r\n");
}

}  // namespace
