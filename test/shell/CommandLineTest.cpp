/** @file
  Morvane's own options: every refusal of the command line, and the forms
  that are taken.

**/

#include "RunTest.h"

namespace {

using CommandLineTest = RunTest;

constexpr const char  *USAGE      = "Usage: Morvane [-v|-u] [-c CRC] [-m MODEL] [-s SAVE] [-l LOG] [-p URL] IMAGE";
constexpr const char  *USAGE_SAVE = "       Morvane -s SAVE -n N [-m MODEL] [-l LOG] [-p URL]";
constexpr const char  *USAGE_IDS  = "       Morvane -i";

TEST_F (CommandLineTest, EveryRefusalPrintsTheUsageLineAndTouchesNothing) {
  const std::vector<std::vector<std::u16string>>  Refused = {
    { u"-c" },                                          // an option without its value
    { u"ec.bin", u"-s" },
    { u"-l", u"-v", u"ec.bin" },
    { u"-n", u"4" },                                    // -n without -s
    { u"-s", u"save.bin", u"-n", u"0" },                // -n out of range or not a number
    { u"-s", u"save.bin", u"-n", u"257" },
    { u"-s", u"save.bin", u"-n", u"1000" },
    { u"-s", u"save.bin", u"-n", u"4x" },
    { u"-s", u"save.bin", u"-n", u"4", u"ec.bin" },     // -n with an image
    { u"-s", u"save.bin", u"-n", u"4", u"-v" },
    { u"-v" },                                          // -v or -c without an image
    { u"-c", u"CBF43926" },
    { u"-s", u"save.bin" },
    { u"-l", u"run.log" },
    { u"-c", u"CBF4392", u"ec.bin" },                   // -c not 8 hex digits
    { u"-c", u"CBF439260", u"ec.bin" },
    { u"-c", u"CBF4392G", u"ec.bin" },
    { u"-v", u"ec.bin", u"other.bin" },                 // a second positional value
    { u"-l", u"EC.BIN", u"ec.bin" },                    // a log or save over the image
    { u"-s", u"FS0:\\images\\ec.bin", u"ec.bin" },
    { u"-s", u"\\images\\ec.bin", u"ec.bin" },
    { u"-s", u"a.bin", u"-l", u"A.BIN", u"ec.bin" },    // or over each other
    { u"-s", u"save*.bin", u"ec.bin" },
    { u"-u", u"-v", u"ec.bin" },                        // -u with -v, or with a save alone
    { u"-u", u"-s", u"save.bin", u"-n", u"4" },
    { u"-p", u"https://depot/r/", u"ec.bin" },          // a depot that is not http://, or no folder
    { u"-p", u"http://depot/results", u"ec.bin" },
    { u"-m", u"   ", u"ec.bin" },                       // a model that is blank or too long
    { u"-m", std::u16string (65, u'M'), u"ec.bin" },
    { u"-i", u"ec.bin" },                               // -i with anything else
    { u"-i", u"-v", u"ec.bin" },
  };

  for (const auto &Args : Refused) {
    SetUp ();
    AddImage ({ 1, 2, 3 });

    std::string  Shown;
    for (const auto &Arg : Args) {
      Shown += Fake::Narrow (Arg) + " ";
    }

    EXPECT_EQ (Run (Args), EFI_INVALID_PARAMETER) << Shown;
    EXPECT_EQ (Fake::RowText (13), USAGE) << Shown;
    EXPECT_EQ (Fake::RowText (14), USAGE_SAVE) << Shown;
    EXPECT_EQ (Fake::RowText (15), USAGE_IDS) << Shown;
    EXPECT_EQ (Fake::RowText (16), "") << Shown;
    EXPECT_TRUE (NoPortTouched ()) << Shown;
    EXPECT_EQ (Fake::gState->Files.size (), 1u) << Shown << ": a file was created";
  }

  SetUp ();
  AddImage ({ 1, 2, 3 });
  Fake::gState->HasCurDir = FALSE;
  EXPECT_EQ (Run ({ u"-v", u"ec.bin" }), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Fake::RowText (13), USAGE);
}

// Anything that is none of Morvane's options keeps the shell's old rules.
TEST_F (CommandLineTest, UnknownOptionAndHelpKeepTheirOldExits) {
  AddImage ({ 1, 2, 3 });

  EXPECT_EQ (Run ({ u"-v", u"-x", u"ec.bin" }), EFI_VOLUME_CORRUPTED);
  EXPECT_EQ (Fake::RowText (13), "File name is empty.");

  SetUp ();
  AddImage ({ 1, 2, 3 });
  EXPECT_EQ (Run ({ u"-?", u"-v", u"ec.bin" }), EFI_SUCCESS);
  EXPECT_EQ (PrintedAfterLabels (), "");
  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (CommandLineTest, WildcardNameIsRefusedBeforeAnyDevice) {
  AddImage ({ 1, 2, 3 }, u"FS0:\\images\\*.bin");

  EXPECT_EQ (Run ({ u"*.bin" }), EFI_INVALID_PARAMETER);

  EXPECT_EQ (Fake::RowText (13), "Name one image file: wildcards are not accepted.");
  EXPECT_TRUE (NoPortTouched ());
}

// The options are matched without regard to case, as the shell's own are.
TEST_F (CommandLineTest, OptionsIgnoreCase) {
  AddImage (RandomImage (100));

  EXPECT_EQ (Run ({ u"-V", u"ec.bin" }), EFI_CRC_ERROR);

  EXPECT_EQ (Fake::RowText (12), " Verify  :x");
}

}  // namespace
