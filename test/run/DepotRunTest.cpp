/** @file
  -p: a run's results at a depot, over the faked network card and server.

**/

#include "RunTest.h"

#include <algorithm>
#include <set>

#include "EcFlash.h"
#include "DepotRun.h"
#include "RunState.h"

namespace {

constexpr size_t  BLOCK = 0x10000;

constexpr const char16_t  *URL  = u"http://10.0.2.2:8080/results/";
constexpr const char      *STEM = "/results/20261207/ABC_1-525400123456-20261207-093005-";
constexpr const char      *BASE = "/results/20261207/ABC_1-525400123456-20261207-093005-A5C30001";

// The name part of the fake generator's Nth draw of a test, from 0.
std::string
Part (
  UINT32  Draw
  )
{
  char  Text[16];

  snprintf (Text, sizeof (Text), "%08X", 0xA5C30001u + Draw);
  return Text;
}

std::string
Text (
  const std::vector<UINT8>  &Bytes
  )
{
  return std::string (Bytes.begin (), Bytes.end ());
}

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
  const std::string  Tail = "-525400123456-20261207-093005-A5C30001";
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

// A name is claimed by its .run: a taken one (a stranger's, or a run in
// the same second) draws a fresh part, up to the last try allowed, and
// every name tried is the next draw, never one with a second suffix.
TEST_F (DepotRunTest, TakenNamesDrawAFreshPartUpToTheLastTry) {
  for (UINT32 Taken : { 0u, 1u, DEPOT_NAME_TRIES - 1u, DEPOT_NAME_TRIES + 0u }) {
    SCOPED_TRACE (Taken);
    SetUp ();
    auto  &Net = Fake::gState->Net;
    for (UINT32 Draw = 0; Draw < Taken; Draw++) {
      Net.Files[STEM + Part (Draw) + ".run"] = { 'x' };
    }

    EFI_STATUS  Status = Run ({ u"-p", URL, u"-s", u"s.bin", u"-n", u"1" });

    std::vector<std::string>  Tried, Expected;
    for (const auto &R : Net.Requests) {
      if ((R.Method == "PUT") && (R.Url.size () > 4) && (R.Url.compare (R.Url.size () - 4, 4, ".run") == 0)) {
        Tried.push_back (R.Url);
      }
    }

    for (UINT32 Draw = 0; Draw <= Taken && Draw < DEPOT_NAME_TRIES; Draw++) {
      Expected.push_back ("http://10.0.2.2:8080" + std::string (STEM) + Part (Draw) + ".run");
    }

    EXPECT_EQ (Tried, Expected);
    if (Taken == DEPOT_NAME_TRIES) {
      EXPECT_EQ (Status, EFI_NO_RESPONSE);
      EXPECT_EQ (Fake::RowText (13), "The depot at http://10.0.2.2:8080/results/ cannot be reached (Access Denied); nothing was flashed.");
      EXPECT_TRUE (NoPortTouched ());
    } else {
      EXPECT_EQ (Status, EFI_SUCCESS);
      EXPECT_EQ (Net.Files.count (STEM + Part (Taken) + ".bin"), 1u);
      EXPECT_EQ (Net.Files.count (STEM + Part (Taken) + ".uptodate.log"), 1u);
      if (Taken > 0) {
        EXPECT_EQ (Text (Net.Files[STEM + Part (0) + ".run"]), "x") << "nothing is written over";
      }
    }
  }
}

// A machine whose clock cannot be read names its boot instead of the time;
// without a random number generator the part still differs from try to try
// and from run to run.
TEST_F (DepotRunTest, NamesWithoutAClockOrAGenerator) {
  auto  &Files = Fake::gState->Net.Files;

  Fake::gState->GetTimeStatus = EFI_DEVICE_ERROR;
  Fake::gState->BootCount     = 7;
  Run ({ u"-p", URL, u"-s", u"n1.bin", u"-n", u"1" });
  const std::string  NoDate = "/results/nodate/ABC_1-525400123456-nodate-00000007-A5C30001";
  ASSERT_EQ (Files.count (NoDate + ".uptodate.log"), 1u);
  std::string  Line = Text (Files[NoDate + ".uptodate.log"]);
  EXPECT_EQ (Line.rfind ("time=unknown mode=save ", 0), 0u) << Line;
  EXPECT_NE (Line.find (" elapsed=- "), std::string::npos) << Line;

  Files.clear ();
  Fake::gState->GetTimeStatus = EFI_SUCCESS;
  Fake::gState->HasRng        = FALSE;
  std::set<std::string>  Parts;
  for (int Run2 = 0; Run2 < 3; Run2++) {
    Fake::gState->ClockUs = 0;
    Run ({ u"-p", URL, u"-s", Run2 == 0 ? u"a.bin" : Run2 == 1 ? u"b.bin" : u"c.bin", u"-n", u"1" });
  }

  for (const auto &F : Files) {
    if ((F.first.rfind (STEM, 0) == 0) && (F.first.find (".bin") != std::string::npos)) {
      std::string  Part8 = F.first.substr (strlen (STEM), F.first.size () - strlen (STEM) - 4);
      EXPECT_EQ (Part8.find_first_not_of ("0123456789ABCDEF"), std::string::npos) << F.first;
      EXPECT_EQ (Part8.size (), 8u) << F.first;
      Parts.insert (Part8);
    }
  }

  EXPECT_EQ (Parts.size (), 3u) << "three runs in one second, three names";
}

// A stranger who writes a run's save or final line first (its base is in
// the .run) only moves the run: it claims a fresh base, marks the old one
// with a .conflict.log that names the new one, and names the old base in
// every line it writes under the new one; the save is read back from there.
TEST_F (DepotRunTest, AStrangersFileMovesTheRunToAFreshBase) {
  struct Case {
    const char  *What;
    std::vector<std::string>  Planted;    // suffixes under the first base
    const char  *Marked;                   // what the old base's mark holds
    bool        SaveMoved;
  };
  const Case  Cases[] = {
    { "an empty save first", { ".bin" }, " status=running ", true },
    { "a final line first", { ".flashed.log" }, " status=0x0 ", false },
    { "the save, and the mark too", { ".bin", ".conflict.log" }, nullptr, true },
  };
  const std::string  Old = BASE, New = STEM + Part (1);

  for (const auto &C : Cases) {
    SCOPED_TRACE (C.What);
    SetUp ();
    auto  &Files = Fake::gState->Net.Files;
    OldFirmware (1);
    AddImage (RandomImage (BLOCK));
    for (const auto &Suffix : C.Planted) {
      Files[Old + Suffix] = {};
    }

    const std::vector<UINT8>  Saved (Flash.begin (), Flash.begin () + BLOCK);

    EXPECT_EQ (Run ({ u"-p", URL, u"-s", u"old.bin", u"ec.bin" }), EFI_SUCCESS);

    std::string  NewBase = New.substr (New.rfind ('/') + 1), OldBase = Old.substr (Old.rfind ('/') + 1);
    EXPECT_TRUE (Files[(C.SaveMoved ? New : Old) + ".bin"] == Saved) << "the save is under the base the run held then";
    EXPECT_NE (Text (Files[New + ".run"]).find (" outcome=\"running\" moved=" + OldBase + "\r\n"), std::string::npos)
      << Text (Files[New + ".run"]);
    EXPECT_NE (Text (Files[New + ".flashed.log"]).find ("\" moved=" + OldBase + "\r\n"), std::string::npos)
      << Text (Files[New + ".flashed.log"]);
    const std::string  Mark = Text (Files[Old + ".conflict.log"]);
    if (C.Marked == nullptr) {
      EXPECT_EQ (Mark, "") << "a stranger's mark stays as it was";
    } else {
      EXPECT_NE (Mark.find (C.Marked), std::string::npos) << Mark;
      EXPECT_EQ (Mark.substr (Mark.size () - NewBase.size () - 9), " moved=" + NewBase + "\r\n");
    }

    const std::string  Saves = C.SaveMoved ? New : Old;
    size_t             ReadBack = Fake::Find ("net", u"GET http://10.0.2.2:8080" + std::u16string (Saves.begin (), Saves.end ()) + u".bin");
    EXPECT_LT (ReadBack, FirstEraseAt ()) << "the save is read back from the run's own name";
  }
}

}  // namespace
