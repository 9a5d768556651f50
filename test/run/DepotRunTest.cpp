/** @file
  -p: a run's results at a depot, over the faked network card and server.

**/

#include "RunTest.h"

#include <algorithm>

#include "EcFlash.h"

namespace {

constexpr size_t  BLOCK = 0x10000;

constexpr const char16_t  *URL  = u"http://10.0.2.2:8080/results/";
constexpr const char      *BASE = "/results/20261207/ABC_1-525400123456-20261207-093005";

const std::vector<UINT8>  UUID(16, 0x11);

class DepotRunTest : public RunTest {
protected:
  void
  SetUp (
    ) override
  {
    RunTest::SetUp ();
    Fake::PublishSmbios ("ABC 1", UUID);
  }

  std::string
  DepotFile (
    const std::string  &Suffix
    ) const
  {
    auto  &Files = Fake::gState->Net.Files;
    auto  Found  = Files.find (std::string (BASE) + Suffix);

    return (Found == Files.end ()) ? "<none>" : std::string (Found->second.begin (), Found->second.end ());
  }

  // The first erase sequence's place in the shared log.
  size_t
  FirstEraseAt (
    ) const
  {
    for (UINT32 Index = 0; Index + 1 < Sim->RecordLength; Index++) {
      if ((Sim->Record[Index].Kind == EcSimCommand) && (Sim->Record[Index].Value == 0x01) &&
          (Sim->Record[Index + 1].Value == 0xD8))
      {
        return Sim->Record[Index].Stamp;
      }
    }

    return std::string::npos;
  }

  void
  OldFirmware (
    size_t  Blocks
    )
  {
    for (UINT32 Offset = 0; Offset < Blocks * BLOCK; Offset++) {
      Flash[Offset] = EcSimOldByte (Offset);
    }
  }
};

// The save is at the depot, read back and equal, before the first erase;
// the running line is replaced by the final one before the last screen line.
TEST_F (DepotRunTest, SaveAndLogReachTheDepotInOrder) {
  auto  Image = RandomImage (2 * BLOCK);

  OldFirmware (2);
  std::vector<UINT8>  Old (Flash.begin (), Flash.begin () + 2 * BLOCK);
  AddImage (Image);

  EXPECT_EQ (Run ({ u"-p", URL, u"-s", u"old.bin", u"ec.bin" }), EFI_SUCCESS);

  EXPECT_TRUE (DepotFile (".bin") == std::string (Old.begin (), Old.end ())) << "the depot's save is the old firmware";
  EXPECT_NE (DepotFile (".flashed.log").find (" status=0x0 product=\"Model\" ec=flashed changed=2 secureboot=off signer=- version=- outcome=\"Morvane finished"),
             std::string::npos) << DepotFile (".flashed.log");
  EXPECT_NE (DepotFile (".run").find (" status=running "), std::string::npos) << "the running line stays beside the final one";

  std::u16string  Put = u"PUT http://10.0.2.2:8080" + std::u16string (BASE, BASE + strlen (BASE));
  size_t          SaveSent    = Fake::Find ("net", Put + u".bin");
  size_t          SaveChecked = Fake::Find ("net", u"GET", SaveSent);
  EXPECT_NE (Fake::Find ("net", Put + u".run"), std::string::npos);
  EXPECT_LT (Fake::Find ("net", Put + u".run"), Fake::Find ("dev")) << "the running line comes before any port";
  EXPECT_LT (SaveChecked, FirstEraseAt ());
  EXPECT_LT (Fake::Find ("net", Put + u".flashed.log", SaveChecked), Fake::Find ("print", u"Morvane finished"));
  EXPECT_TRUE (Fake::gState->Net.Events.empty ());
  EXPECT_EQ (Fake::gState->Net.Children, 0);
}

// Whatever keeps the depot out of reach ends the run before any port, with
// the underlying status in the line and ec=unchanged in the local log.
TEST_F (DepotRunTest, UnreachableDepotFlashesNothing) {
  struct Case {
    const char    *What;
    BOOLEAN       HasNic;
    UINT64        DhcpAfterUs;
    UINTN         AnswerCode;
    EFI_STATUS    RequestStatus;
    const char    *Why;
  };
  const Case  Cases[] = {
    { "no network stack", FALSE, 3000000, 0, EFI_SUCCESS, "Not Found" },
    { "no address", TRUE, ~0ULL, 0, EFI_SUCCESS, "No mapping" },
    { "plain HTTP refused", TRUE, 3000000, 0, EFI_ACCESS_DENIED, "Access Denied" },
    { "a 403", TRUE, 3000000, 403, EFI_SUCCESS, "" },
  };

  for (const auto &C : Cases) {
    SetUp ();
    AddImage (RandomImage (BLOCK));
    Fake::gState->Net.HasNic        = C.HasNic;
    Fake::gState->Net.DhcpAfterUs   = C.DhcpAfterUs;
    Fake::gState->Net.AnswerCode    = C.AnswerCode;
    Fake::gState->Net.RequestStatus = C.RequestStatus;

    EXPECT_EQ (Run ({ u"-l", u"run.log", u"-p", URL, u"ec.bin" }), EFI_NO_RESPONSE) << C.What;

    EXPECT_TRUE (NoPortTouched ()) << C.What;
    EXPECT_EQ (Fake::RowText (13).rfind ("The depot at http://10.0.2.2:8080/results/ cannot be reached (" + std::string (C.Why), 0), 0u)
      << Fake::RowText (13);
    auto  &Log = Fake::gState->Files[u"FS0:\\images\\run.log"].Data;
    EXPECT_NE (std::string (Log.begin (), Log.end ()).find (" status=0x10 product=\"Model\" ec=unchanged changed=0"), std::string::npos)
      << C.What;
    EXPECT_LE (Fake::gState->ClockUs, 25000000u) << C.What;
    EXPECT_EQ (Fake::gState->Net.Children, 0) << C.What;
  }
}

// A depot that stops answering or keeps other bytes: before the save is
// kept, nothing is erased (the good local copy stays); after it, the flash
// finishes, the lost line is said with the run's own status, and the depot
// keeps the running line.
TEST_F (DepotRunTest, DepotThatStopsAnswering) {
  struct Case {
    const char    *What;
    UINTN         GoneAfter;
    EFI_STATUS    Status;
    const char    *Said;
    const char    *DepotFile;     // the run's last file at the depot
    const char    *DepotLine;
    BOOLEAN       Alters = FALSE;
  };
  const Case  Cases[] = {
    { "keeps other bytes than the save", SIZE_MAX, EFI_NO_RESPONSE, "Save failed: the depot did not keep the save (CRC Error)",
      ".unchanged.log", " status=0x10 ", TRUE },
    { "gone before the save's read-back", 2, EFI_NO_RESPONSE, "Save failed: the depot did not keep the save (", ".run", " status=running " },
    { "gone after the save", 3, EFI_SUCCESS, "The run log could not be sent to the depot (", ".run", " status=running " },
  };

  for (const auto &C : Cases) {
    SetUp ();
    OldFirmware (1);
    AddImage (RandomImage (BLOCK));
    Fake::gState->Net.GoneAfter  = C.GoneAfter;
    Fake::gState->Net.AltersPuts = C.Alters;

    EXPECT_EQ (Run ({ u"-p", URL, u"-s", u"old.bin", u"ec.bin" }), C.Status) << C.What;

    EXPECT_EQ (FirstEraseAt () == std::string::npos, C.Status != EFI_SUCCESS) << C.What;
    EXPECT_NE (Printed ().find (C.Said), std::string::npos) << Printed ();
    EXPECT_NE (DepotFile (C.DepotFile).find (C.DepotLine), std::string::npos) << DepotFile (C.DepotFile);
    EXPECT_FALSE (Fake::gState->Files[u"FS0:\\images\\old.bin"].Data.empty ()) << "the local save stays";
  }

  EXPECT_EQ (Fake::RowText (15), "The run log could not be sent to the depot (00000069).");
  EXPECT_EQ (Fake::RowText (16), "Morvane finished, remove power and reboot.");
}

// The depot's names hold only what a URL and a file system take, never
// start with '.' or '-', and always keep the address and the start time.
TEST_F (DepotRunTest, NamesAreCleaned) {
  const std::string  Tail = "-525400123456-20261207-093005";
  const std::pair<std::string, std::string>  Cases[] = {
    { "ABC 1", "ABC_1" },
    { "", "none" },
    { "a/b?c#d%e", "a_b_c_d_e" },
    { "a[b\\c]d^e`f", "a_b_c_d_e_f" },
    { ".hidden", "_hidden" },
    { "-dash", "_dash" },
    { "0123456789ABCDEFGHIJ0123456789abcdefghij", "0123456789ABCDEFGHIJ0123" },
  };

  for (const auto &C : Cases) {
    SetUp ();
    Fake::PublishSmbios (C.first, UUID);
    Run ({ u"-p", URL, u"-s", u"s.bin", u"-n", u"1" });
    std::string  Names;
    for (const auto &F : Fake::gState->Net.Files) {
      Names += F.first + " ";
    }

    std::string  Base = "/results/20261207/" + C.second + Tail;
    EXPECT_EQ (Names, Base + ".bin " + Base + ".run " + Base + ".uptodate.log ") << C.first;
  }
}

// A name the depot holds is never written over: a second run in the same
// second, and runs on a machine whose clock cannot be read, get names of
// their own, and every save stays.
TEST_F (DepotRunTest, TakenNamesAreNeverWrittenOver) {
  auto  &Files = Fake::gState->Net.Files;

  Run ({ u"-p", URL, u"-s", u"s1.bin", u"-n", u"1" });
  Fake::gState->ClockUs = 0;
  Run ({ u"-p", URL, u"-s", u"s2.bin", u"-n", u"1" });
  EXPECT_EQ (Files.count (std::string (BASE) + ".bin"), 1u);
  EXPECT_EQ (Files.count (std::string (BASE) + "-2.bin"), 1u);
  EXPECT_EQ (Files.count (std::string (BASE) + "-2.uptodate.log"), 1u);

  Files.clear ();
  Fake::gState->GetTimeStatus = EFI_DEVICE_ERROR;
  for (UINT32 Boot = 1; Boot <= 2; Boot++) {
    Fake::gState->BootCount = Boot;
    Run ({ u"-p", URL, u"-s", Boot == 1 ? u"n1.bin" : u"n2.bin", u"-n", u"1" });
  }

  const std::string  NoDate = "/results/nodate/ABC_1-525400123456-nodate-0000000";
  EXPECT_EQ (Files.count (NoDate + "1.bin") + Files.count (NoDate + "2.bin"), 2u);
  std::string  Line (Files[NoDate + "2.uptodate.log"].begin (), Files[NoDate + "2.uptodate.log"].end ());
  EXPECT_EQ (Line.rfind ("time=unknown mode=save ", 0), 0u) << Line;
  EXPECT_NE (Line.find (" elapsed=- "), std::string::npos) << Line;
}

}  // namespace
