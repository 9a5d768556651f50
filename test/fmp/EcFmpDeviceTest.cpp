/** @file
  The EC update driver's device library on the host, as FmpDxe calls it:
  SetImage and GetImage run Morvane's run against the simulated EC behind
  the faked CPU I/O 2, with the fakes' variable store, which behaves as
  the firmware's does (the version record lives there). SetImage is given
  its payload as FmpDxe gives it: right after the capsule's payload header
  in one buffer.

**/

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "HostTest.h"

extern "C" {
#include <Guid/FmpCapsule.h>
#include <Guid/SystemResourceTable.h>
#include <Library/BaseMemoryLib.h>
#include <Library/FmpDeviceLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/VariablePolicy.h>
}

#include "EcFmpDevice.h"
#include "EcVersionRecord.h"

extern "C" {
EFI_GUID  gEcFmpTestImageTypeId = { 0x2a9b8c51, 0x1f3e, 0x4d62, { 0x9a, 0x07, 0x5e, 0x4c, 0x3b, 0x2d, 0x1f, 0x60 }
};
EFI_GUID  gEdkiiVariablePolicyProtocolGuid = EDKII_VARIABLE_POLICY_PROTOCOL_GUID;
}

namespace {

std::vector<UINTN>  mReports;

// The variable policy service: what was registered, and what it answers.
std::vector<std::vector<UINT8>>  mRegistered;
EFI_STATUS                       mPolicyAnswer;
bool                             mPolicyPresent;
EDKII_VARIABLE_POLICY_PROTOCOL   mPolicy;
EFI_LOCATE_PROTOCOL              mLocate;

EFI_STATUS
EFIAPI
RegisterPolicy (
  IN CONST VARIABLE_POLICY_ENTRY  *Entry
  )
{
  mRegistered.emplace_back (reinterpret_cast<const UINT8 *>(Entry), reinterpret_cast<const UINT8 *>(Entry) + Entry->Size);
  return mPolicyAnswer;
}

EFI_STATUS
EFIAPI
LocatePolicy (
  IN  EFI_GUID  *Protocol,
  IN  VOID      *Registration OPTIONAL,
  OUT VOID      **Interface
  )
{
  if (!CompareGuid (Protocol, &gEdkiiVariablePolicyProtocolGuid)) {
    return mLocate (Protocol, Registration, Interface);
  }

  *Interface = &mPolicy;
  return mPolicyPresent ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
Report (
  IN UINTN  Completion
  )
{
  mReports.push_back (Completion);
  return EFI_SUCCESS;
}

CONST UINT32  NV_BS    = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
CONST UINT32  NV_BS_RT = NV_BS | EFI_VARIABLE_RUNTIME_ACCESS;
CONST UINT32  BLOCK    = 0x10000;

class EcFmpTest : public HostTest {
protected:
  void
  SetUp (
    ) override
  {
    HostTest::SetUp ();
    mReports.clear ();
  }

  void
  Plant (
    UINT32              Attributes,
    std::vector<UINT8>  Data
    )
  {
    Fake::gState->Variables[Fake::VariableKey (u"MorvaneEcVersion", gMorvaneEcVersionGuid)] = Fake::Variable { Attributes, Data };
  }

  MORVANE_EC_VERSION_RECORD
  Record (
    )
  {
    MORVANE_EC_VERSION_RECORD  Kept = { 0, 0 };

    EcVersionRecordRead (&Kept);
    return Kept;
  }

  std::vector<UINT8>
  Image (
    size_t    Size,
    unsigned  Seed
    ) const
  {
    std::mt19937        Random (Seed);
    std::vector<UINT8>  Out (Size);

    for (auto &Byte : Out) {
      Byte = static_cast<UINT8>(Random ());
    }

    return Out;
  }

  // What FmpDxe would hear and record of one SetImage.
  struct Outcome {
    EFI_STATUS     Status;
    UINT32         LastAttempt;
    std::string    Reason;
  };

  // The FMP payload header FmpDxe leaves before the payload: signature,
  // size, version, lowest supported version.
  static std::vector<UINT8>
  Header (
    UINT32  Version,
    UINT32  Lowest,
    UINT32  Signature = SIGNATURE_32 ('M', 'S', 'S', '1'),
    UINT32  Size = 16
    )
  {
    std::vector<UINT8>  Out (16);
    const UINT32        Fields[] = { Signature, Size, Version, Lowest };

    memcpy (Out.data (), Fields, sizeof (Fields));
    return Out;
  }

  // SetImage as FmpDxe calls it: the payload right after Before (by
  // default the header of the version FmpDxe names, lowest 0).
  Outcome
  SetImage (
    const std::vector<UINT8>  &Payload,
    UINTN                     Size,
    UINT32                    Version,
    std::vector<UINT8>        Before = {}
    )
  {
    Outcome             Out    = { EFI_SUCCESS, 0xFFFFFFFF, "" };
    CHAR16              *Why   = nullptr;
    std::vector<UINT8>  Buffer = Before.empty () ? Header (Version, 0) : Before;
    const size_t        At     = Buffer.size ();

    Buffer.insert (Buffer.end (), Payload.begin (), Payload.end ());
    Buffer.push_back (0);   // a payload of no bytes still points into the buffer
    Out.Status = FmpDeviceSetImageWithStatus (Buffer.data () + At, Size, nullptr, Report, Version, &Why, &Out.LastAttempt);
    if (Why != nullptr) {
      Out.Reason = Fake::Narrow (reinterpret_cast<const char16_t *>(Why));
      FreePool (Why);
    }

    return Out;
  }

  // Bytes written to the EC's ports 0x62 and 0x66.
  size_t
  EcBytes (
    ) const
  {
    return std::count_if (Fake::gState->Writes.begin (), Fake::gState->Writes.end (), [](const auto &W) {
      return (W.first == 0x62) || (W.first == 0x66);
    });
  }

  // Erase commands sent (the erase opcode and its SPI block erase).
  size_t
  Erases (
    ) const
  {
    const std::vector<UINT8>  Commands = EcCommands ();

    return Count (std::string (Commands.begin (), Commands.end ()), "\x01\xD8");
  }

  // The keyboard controller was switched off first and on again last.
  bool
  KeyboardBracketed (
    ) const
  {
    std::vector<UINT8>  Kbc;

    for (const auto &W : Fake::gState->Writes) {
      if (W.first == 0x64) {
        Kbc.push_back (W.second);
      }
    }

    return Kbc == std::vector<UINT8>{ 0xAD, 0xAE };
  }
};

// A payload whose middle block the EC already holds: only the other two
// are erased and written (-u), the EC ends equal to the payload, FmpDxe
// hears a rising percentage up to 100, the version record takes the
// capsule's version and its lowest supported version where that is higher
// (the floor Morvane then holds its capsules to), and nothing is drawn on
// the console.
TEST_F (EcFmpTest, SetImageFlashesOnlyTheBlocksThatDiffer) {
  const auto  Payload = Image (3 * BLOCK - 0x1000, 1);

  std::copy (Payload.begin () + BLOCK, Payload.begin () + 2 * BLOCK, Flash.begin () + BLOCK);
  Plant (NV_BS, { 0x00, 0x01, 0, 0, 0x80, 0, 0, 0 });

  const Outcome  Got = SetImage (Payload, Payload.size (), 0x200, Header (0x200, 0x180));

  EXPECT_EQ (Got.Status, EFI_SUCCESS);
  EXPECT_EQ (Got.LastAttempt, static_cast<UINT32>(LAST_ATTEMPT_STATUS_SUCCESS));
  EXPECT_TRUE (std::equal (Payload.begin (), Payload.end (), Flash.begin ()));
  EXPECT_EQ (Erases (), 2u);
  EXPECT_TRUE (KeyboardBracketed ());
  ASSERT_FALSE (mReports.empty ());
  EXPECT_GE (mReports.front (), 1u);
  EXPECT_EQ (mReports.back (), 100u);
  EXPECT_TRUE (std::is_sorted (mReports.begin (), mReports.end (), std::less_equal<UINTN>()));
  EXPECT_EQ (Record ().Version, 0x200u);
  EXPECT_EQ (Record ().LowestSupported, 0x180u);
  UINT32  Lowest = 0;
  EXPECT_EQ (FmpDeviceGetLowestSupportedVersion (&Lowest), EFI_SUCCESS);
  EXPECT_EQ (Lowest, 0x180u);
  EXPECT_EQ (Fake::Find ("print"), std::string::npos) << Printed ();
  EXPECT_TRUE (Fake::gState->Live.empty ()) << "pool leaked";

  // A capsule whose lowest is below the floor leaves the floor where it is.
  EXPECT_EQ (SetImage (Payload, Payload.size (), 0x300, Header (0x300, 0x100)).Status, EFI_SUCCESS);
  EXPECT_EQ (Record ().LowestSupported, 0x180u);
}

// What the floor forbids, or cannot be known, is refused before any byte
// reaches the EC, each with its own last-attempt status, the record as it
// was: a capsule below the record's lowest (Morvane may have raised it
// since FmpDxe read it), a payload without the header FmpDxe checked the
// signature of, a record that cannot be read, and a variable of its name
// an OS made. The versions FmpDxe asks for are not known then either.
TEST_F (EcFmpTest, RefusesWhatTheFloorForbidsBeforeTheEc) {
  const UINT32  NV_BS_RT_AUTH = NV_BS_RT | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
  struct Case {
    const char          *Name;
    UINT32              Planted;
    std::vector<UINT8>  Before;      // the bytes before the payload
    EFI_STATUS          Unreadable;
    EFI_STATUS          Status;
    UINT32              LastAttempt;
    EFI_STATUS          Versions;    // FmpDeviceGetLowestSupportedVersion
  };
  const Case  Cases[] = {
    { "below the record's lowest", NV_BS,         Header (0x200, 0),                 EFI_SUCCESS,      EFI_INCOMPATIBLE_VERSION,
      EC_FMP_STATUS_BELOW_FLOOR,       EFI_SUCCESS },
    { "no payload header",         NV_BS,         std::vector<UINT8>(16, 0),         EFI_SUCCESS,      EFI_ABORTED,
      EC_FMP_STATUS_PAYLOAD_HEADER,    EFI_SUCCESS },
    { "a header of another version", NV_BS,       Header (0x401, 0),                 EFI_SUCCESS,      EFI_ABORTED,
      EC_FMP_STATUS_PAYLOAD_HEADER,    EFI_SUCCESS },
    { "a header of another size",  NV_BS,         Header (0x400, 0, SIGNATURE_32 ('M', 'S', 'S', '1'), 20), EFI_SUCCESS, EFI_ABORTED,
      EC_FMP_STATUS_PAYLOAD_HEADER,    EFI_SUCCESS },
    { "a lowest above its version", NV_BS,        Header (0x400, 0x401),             EFI_SUCCESS,      EFI_ABORTED,
      EC_FMP_STATUS_PAYLOAD_HEADER,    EFI_SUCCESS },
    { "a record that cannot be read", NV_BS,      Header (0x400, 0),                 EFI_DEVICE_ERROR, EFI_ABORTED,
      EC_FMP_STATUS_RECORD_UNREADABLE, EFI_DEVICE_ERROR },
    { "an OS's runtime variable",  NV_BS_RT,      Header (0x400, 0),                 EFI_SUCCESS,      EFI_ABORTED,
      EC_FMP_STATUS_RECORD_FOREIGN,    EFI_DEVICE_ERROR },
    { "an OS's authenticated variable", NV_BS_RT_AUTH, Header (0x400, 0),            EFI_SUCCESS,      EFI_ABORTED,
      EC_FMP_STATUS_RECORD_FOREIGN,    EFI_DEVICE_ERROR },
  };
  const auto  Payload = Image (BLOCK, 5);

  for (const Case &Each : Cases) {
    SCOPED_TRACE (Each.Name);
    SetUp ();
    Plant (Each.Planted, { 0x00, 0x03, 0, 0, 0x00, 0x03, 0, 0 });
    Fake::gState->GetVariableStatus = Each.Unreadable;
    const auto  Before  = Fake::gState->Variables;
    const UINT32  Version = (Each.Status == EFI_INCOMPATIBLE_VERSION) ? 0x200 : 0x400;

    const Outcome  Got = SetImage (Payload, Payload.size (), Version, Each.Before);

    EXPECT_EQ (Got.Status, Each.Status);
    EXPECT_EQ (Got.LastAttempt, Each.LastAttempt);
    EXPECT_EQ (EcBytes (), 0u);
    EXPECT_EQ (Fake::gState->Variables.begin ()->second.Data, Before.begin ()->second.Data);
    UINT32  Lowest = 0;
    EXPECT_EQ (FmpDeviceGetLowestSupportedVersion (&Lowest), Each.Versions);
    EXPECT_EQ (Lowest, (Each.Versions == EFI_SUCCESS) ? 0x300u : 0u);
  }
}

// The record's name is guarded by a variable policy from the driver's
// entry on: only NV+BS, 8 bytes, never runtime or authenticated, and no
// lock (Morvane writes the record after the end of DXE). A policy service
// that is missing or refuses does not stop the driver.
TEST_F (EcFmpTest, TheRecordsNameIsGuardedByAVariablePolicy) {
  mPolicy.RegisterVariablePolicy = RegisterPolicy;
  mLocate                        = gBS->LocateProtocol;
  gBS->LocateProtocol            = LocatePolicy;

  for (EFI_STATUS Each : { EFI_WRITE_PROTECTED, EFI_NOT_FOUND, EFI_SUCCESS }) {
    mRegistered.clear ();
    mPolicyAnswer  = Each;
    mPolicyPresent = (Each != EFI_NOT_FOUND);
    EXPECT_EQ (EcFmpDeviceLibConstructor (nullptr, nullptr), EFI_SUCCESS);
    ASSERT_EQ (mRegistered.size (), mPolicyPresent ? 1u : 0u);
  }

  gBS->LocateProtocol = mLocate;
  const auto  *Entry = reinterpret_cast<const VARIABLE_POLICY_ENTRY *>(mRegistered[0].data ());
  EXPECT_TRUE (CompareGuid (&Entry->Namespace, &gMorvaneEcVersionGuid));
  EXPECT_EQ (std::u16string (reinterpret_cast<const char16_t *>(mRegistered[0].data () + Entry->OffsetToName)), u"MorvaneEcVersion");
  EXPECT_EQ (Entry->MinSize, 8u);
  EXPECT_EQ (Entry->MaxSize, 8u);
  EXPECT_EQ (Entry->AttributesMustHave, NV_BS);
  EXPECT_EQ (Entry->AttributesCantHave, static_cast<UINT32>(EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS |
                                                             EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS));
  EXPECT_EQ (Entry->LockPolicyType, VARIABLE_POLICY_TYPE_NO_LOCK);
}

// Every way an update can fail, in the order one boot could meet them:
// what FmpDxe records, whether the EC was reached, and why (the abort
// reason). The version record never moves, the bar never reaches 100, and
// once an erase went out the EC is reported incomplete until a flash
// succeeds.
TEST_F (EcFmpTest, EachFailureHasItsOwnStatusAndNeverSucceeds) {
  struct Case {
    const char    *Name;
    void          (*Fault)(EC_SIM *Sim);
    size_t        Size;
    EFI_STATUS    Status;
    UINT32        LastAttempt;
    bool          EcReached;
    const char    *Reason;
    bool          Wrapped = false;   // the payload starts as a capsule does
    bool          Headed  = true;    // the payload header FmpDxe checked lies before it
  };
  const Case  Cases[] = {
    { "empty", [](EC_SIM *) {}, 0, EFI_ABORTED, EC_FMP_STATUS_IMAGE_SIZE, false, "" },
    { "above 16 MiB", [](EC_SIM *) {}, EC_FMP_IMAGE_MAX_SIZE + 1, EFI_ABORTED, EC_FMP_STATUS_IMAGE_SIZE, false, "" },
    { "a tail left out", [](EC_SIM *) {}, BLOCK + 4096, EFI_ABORTED, EC_FMP_STATUS_IMAGE_SIZE, false, "" },
    { "a capsule inside", [](EC_SIM *) {}, 2 * BLOCK, EFI_ABORTED, EC_FMP_STATUS_CAPSULE_INSIDE, false, "", true },
    { "no EC", [](EC_SIM *S) { S->Faults.NoDevice = TRUE; }, 2 * BLOCK, EFI_TIMEOUT, EC_FMP_STATUS_NO_EC, false,
      "EC not answering at block 0. The EC flash was not changed." },
    { "never verifies",
      [](EC_SIM *S) { S->Faults.CorruptBlock = 1; S->Faults.CorruptAttempts = EC_SIM_NEVER; }, 2 * BLOCK,
      EFI_DEVICE_ERROR, EC_FMP_STATUS_NEVER_VERIFIED, true,
      "Block 1 never verified. EC flash incomplete: keep power on, flash again." },
    { "no EC after an erase", [](EC_SIM *S) { S->Faults.NoDevice = TRUE; }, 2 * BLOCK, EFI_TIMEOUT,
      EC_FMP_STATUS_EC_STOPPED, false, "EC not answering at block 0. EC flash incomplete: keep power on, flash again." },
    { "part smaller than the image", [](EC_SIM *S) { S->Faults.SizeBlocks = 2; }, 4 * BLOCK, EFI_END_OF_MEDIA,
      EC_FMP_STATUS_CHECK_FAILED, true, "Block 0 differs from the image after the flash (2 blocks differ)" },
    { "a capsule inside, after an erase", [](EC_SIM *) {}, 2 * BLOCK, EFI_ABORTED, EC_FMP_STATUS_FAILED_INCOMPLETE, false, "",
      true },
    { "no payload header, after an erase", [](EC_SIM *) {}, 2 * BLOCK, EFI_ABORTED, EC_FMP_STATUS_FAILED_INCOMPLETE, false, "",
      false, false },
  };

  Fake::gState->PortBudget    = 40000000;
  Fake::gState->ClockBudgetUs = 600000000;
  Plant (NV_BS, { 0x00, 0x01, 0, 0, 0x80, 0, 0, 0 });
  for (const Case &Each : Cases) {
    SCOPED_TRACE (Each.Name);
    auto  Payload = Image (std::min (Each.Size, static_cast<size_t>(4 * BLOCK)), 2);
    if (Each.Wrapped) {
      const EFI_GUID  Fmp = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
      std::copy_n (reinterpret_cast<const UINT8 *>(&Fmp), sizeof (Fmp), Payload.begin ());
    }

    EcSimReset (Sim.get (), Flash.data (), nullptr);
    Fake::gState->Writes.clear ();
    mReports.clear ();
    Each.Fault (Sim.get ());

    const Outcome  Got = SetImage (Payload, Each.Size, 0x300, Each.Headed ? std::vector<UINT8>() : Header (0x300, 0, 0));

    EXPECT_EQ (Got.Status, Each.Status);
    EXPECT_EQ (Got.LastAttempt, Each.LastAttempt);
    EXPECT_EQ (EcBytes () > 0, Each.EcReached);
    EXPECT_EQ (Got.Reason.rfind (Each.Reason, 0), 0u) << Got.Reason;
    EXPECT_EQ (Record ().Version, 0x100u);
    EXPECT_TRUE (std::find (mReports.begin (), mReports.end (), 100u) == mReports.end ());
  }

  // A flash that succeeds clears it.
  EcSimReset (Sim.get (), Flash.data (), nullptr);
  const auto  Payload = Image (BLOCK, 3);
  EXPECT_EQ (SetImage (Payload, Payload.size (), 0x300).Status, EFI_SUCCESS);
  Sim->Faults.NoDevice = TRUE;
  EXPECT_EQ (SetImage (Payload, Payload.size (), 0x300).LastAttempt, EC_FMP_STATUS_NO_EC);
  EXPECT_EQ (Fake::Find ("print"), std::string::npos) << Printed ();
  EXPECT_TRUE (Fake::gState->Live.empty ()) << "pool leaked";
}

// GetImage reads the flash as a save does, as much as it is asked for; a
// caller that asks for nothing is told the most an EC holds; an EC that
// does not answer is a device error.
TEST_F (EcFmpTest, GetImageReadsTheFlashAsItIs) {
  const auto  Old = Image (2 * BLOCK, 4);
  UINTN       Size = 0;

  std::copy (Old.begin (), Old.end (), Flash.begin ());
  EXPECT_EQ (FmpDeviceGetImage (Flash.data (), &Size), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ (Size, static_cast<UINTN>(EC_FMP_IMAGE_MAX_SIZE));
  EXPECT_EQ (EcBytes (), 0u);

  std::vector<UINT8>  Read (BLOCK + 100);
  Size = Read.size ();
  EXPECT_EQ (FmpDeviceGetImage (Read.data (), &Size), EFI_SUCCESS);
  EXPECT_EQ (Size, Read.size ());
  EXPECT_TRUE (std::equal (Read.begin (), Read.end (), Old.begin ()));
  EXPECT_EQ (Erases (), 0u);
  EXPECT_TRUE (KeyboardBracketed ());

  Sim->Faults.NoDevice = TRUE;
  EXPECT_EQ (FmpDeviceGetImage (Read.data (), &Size), EFI_DEVICE_ERROR);
  EXPECT_TRUE (Fake::gState->Live.empty ()) << "pool leaked";
}

// FmpDxe hears each whole percent gained once, from 1 up to 100 (0 would
// tell it the device reports no progress).
TEST_F (EcFmpTest, ProgressReportsEachWholePercentOnce) {
  struct Case {
    UINTN    Blocks;
    size_t   Reports;
  };
  const Case  Cases[] = {
    { 1,   1   },   // 100
    { 3,   3   },   // 33, 66, 100
    { 512, 100 },   // 1 to 100, each once
  };

  for (const Case &Each : Cases) {
    SCOPED_TRACE (Each.Blocks);
    mReports.clear ();
    EC_FMP_PROGRESS  Progress;
    EcFmpProgressStart (&Progress, Report);
    for (UINTN Done = 0; Done <= Each.Blocks; Done++) {
      EcFmpProgressBlocks (&Progress, Done, Each.Blocks);
      EcFmpProgressBlocks (&Progress, Done, Each.Blocks);
    }

    ASSERT_EQ (mReports.size (), Each.Reports);
    EXPECT_GE (mReports.front (), 1u);
    EXPECT_EQ (mReports.back (), 100u);
    EXPECT_TRUE (std::adjacent_find (mReports.begin (), mReports.end (), std::greater_equal<UINTN>()) == mReports.end ());
  }
}

}  // namespace
