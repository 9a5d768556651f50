/** @file
  Start-up: the progress screen, the command line and the image path, and
  every way a run ends before a device is touched.

**/

#include "RunTest.h"

namespace {

using StartUpTest = RunTest;

TEST_F (StartUpTest, ScreenIsLaidOutBeforeAnythingElse) {
  EXPECT_EQ (Run ({}), EFI_SUCCESS);

  EXPECT_EQ (Fake::gState->Mode, 2);
  EXPECT_EQ (Fake::gState->Clears, 1u);
  EXPECT_EQ (Fake::RowText (5), " Loop : 1");
  EXPECT_EQ (Fake::Narrow (Fake::Row (5).substr (0, 10)), " Loop : 1 ");
  EXPECT_EQ (Fake::RowText (8), " 2026.12.7 9:30:5");
  EXPECT_EQ (Fake::RowText (10), " Erase   :");
  EXPECT_EQ (Fake::RowText (11), " Program :");
  EXPECT_EQ (Fake::RowText (12), " Verify  :");
}

TEST_F (StartUpTest, NoArgumentSaysTheNameIsEmpty) {
  EXPECT_EQ (Run ({}), EFI_SUCCESS);

  EXPECT_EQ (Fake::RowText (13), "File name is empty.");
  EXPECT_NE (Fake::Find ("print", u"File name is empty.\r\n"), std::string::npos);
  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (StartUpTest, MissingFileIsReported) {
  EXPECT_EQ (Run ({ u"nothere.bin" }), EFI_NOT_FOUND);

  EXPECT_EQ (Fake::RowText (13), "File is not exists.");
  EXPECT_EQ (Fake::gState->Log.back ().Text, u"File is not exists.");
  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (StartUpTest, HelpAndSecondValueEndSilently) {
  AddImage ({ 1, 2, 3 });
  for (auto Args : { std::vector<std::u16string>{ u"-?" }, { u"ec.bin", u"other.bin" }, { u"-b", u"-?", u"ec.bin" } }) {
    EXPECT_EQ (Run (Args), EFI_SUCCESS);
    EXPECT_EQ (Fake::RowText (13), "");
    EXPECT_EQ (PrintedAfterLabels (), "");
  }

  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (StartUpTest, NoCurrentDirectoryEndsSilently) {
  AddImage ({ 1, 2, 3 });
  Fake::gState->HasCurDir = FALSE;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_SUCCESS);
  EXPECT_EQ (PrintedAfterLabels (), "");
  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (StartUpTest, UnknownOptionFailsTheParse) {
  EXPECT_EQ (Run ({ u"-x" }), EFI_VOLUME_CORRUPTED);

  EXPECT_EQ (Fake::RowText (13), "File name is empty.");
  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (StartUpTest, NameIsTakenAsTypedOrUnderTheCurrentDirectory) {
  AddImage ({ 1, 2, 3 }, u"FS1:\\ec.bin");
  Run ({ u"FS1:\\ec.bin" });
  EXPECT_EQ (Fake::gState->OpenedPath, u"FS1:\\ec.bin");

  SetUp ();
  AddImage ({ 1, 2, 3 });
  Run ({ u"ec.bin" });
  EXPECT_EQ (Fake::gState->OpenedPath, u"FS0:\\images\\ec.bin");

  SetUp ();
  AddImage ({ 1, 2, 3 }, u"FS0:\\images\\-x.bin");
  Run ({ u"^-x.bin" });
  EXPECT_EQ (Fake::gState->OpenedPath, u"FS0:\\images\\-x.bin");
}

TEST_F (StartUpTest, WithoutAShellNothingIsTouched) {
  Fake::gState->InitializeStatus = EFI_NOT_FOUND;

  EXPECT_EQ (Run ({ u"ec.bin" }), EFI_NOT_FOUND);

  EXPECT_EQ (Fake::RowText (13), "Morvane must be started from the UEFI Shell.");
  EXPECT_TRUE (NoPortTouched ());
}

TEST_F (StartUpTest, DirectoryIsRefused) {
  Fake::gState->Directories.push_back (u"FS0:\\images\\fw");

  EXPECT_EQ (Run ({ u"fw" }), EFI_INVALID_PARAMETER);

  EXPECT_EQ (Fake::RowText (13), "FS0:\\images\\fw is a directory, not an image file.");
  EXPECT_TRUE (NoPortTouched ());
}

// Each pool copy (the name as typed, then the path: as typed, or the
// current directory and the name) may fail; none may leak the others.
TEST_F (StartUpTest, OutOfPoolIsReportedWithoutLeaks) {
  struct Case { std::u16string Name; UINTN FailAt; };
  for (const Case &C : { Case{ u"FS0:\\images\\ec.bin", 1 }, Case{ u"FS0:\\images\\ec.bin", 2 }, Case{ u"ec.bin", 1 },
                         Case{ u"ec.bin", 2 }, Case{ u"ec.bin", 3 } }) {
    SetUp ();
    AddImage ({ 1, 2, 3 });
    Fake::gState->FailCatSPrintAt = C.FailAt;

    EXPECT_EQ (Run ({ C.Name }), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ (Fake::RowText (13), "Out of memory for the image path.");
    EXPECT_TRUE (NoPortTouched ());
  }
}

TEST_F (StartUpTest, UnreadableClockPrintsZeros) {
  Fake::gState->GetTimeStatus = EFI_DEVICE_ERROR;

  Run ({});

  EXPECT_EQ (Fake::RowText (8), " 0.0.0 0:0:0");
}

}  // namespace
