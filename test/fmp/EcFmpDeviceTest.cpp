/** @file
  The EC update driver's device library on the host, as FmpDxe calls it:
  SetImage and GetImage run Morvane's run against the simulated EC behind
  the faked CPU I/O 2, with a variable store that behaves as the
  firmware's does (the version record lives there).

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
#include <Library/FmpDeviceLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "EcFmpDevice.h"
#include "EcVersionRecord.h"

extern "C" {
EFI_GUID  gEcFmpTestImageTypeId = { 0x2a9b8c51, 0x1f3e, 0x4d62, { 0x9a, 0x07, 0x5e, 0x4c, 0x3b, 0x2d, 0x1f, 0x60 }
};
}

namespace {

struct Variable {
  UINT32                  Attributes;
  std::vector<UINT8>      Data;
};

std::map<std::u16string, Variable>  mStore;

std::u16string
Key (
  CONST CHAR16    *Name,
  CONST EFI_GUID  *Guid
  )
{
  std::u16string  Text (reinterpret_cast<const char16_t *>(Name));
  Text.append (reinterpret_cast<const char16_t *>(Guid), sizeof (*Guid) / 2);
  return Text;
}

EFI_STATUS
EFIAPI
FakeGetVariable (
  IN     CHAR16    *Name,
  IN     EFI_GUID  *Guid,
  OUT    UINT32    *Attributes OPTIONAL,
  IN OUT UINTN     *Size,
  OUT    VOID      *Data OPTIONAL
  )
{
  auto  Found = mStore.find (Key (Name, Guid));
  if (Found == mStore.end ()) {
    return EFI_NOT_FOUND;
  }

  if (Attributes != NULL) {
    *Attributes = Found->second.Attributes;
  }

  if (*Size < Found->second.Data.size ()) {
    *Size = Found->second.Data.size ();
    return EFI_BUFFER_TOO_SMALL;
  }

  *Size = Found->second.Data.size ();
  memcpy (Data, Found->second.Data.data (), *Size);
  return EFI_SUCCESS;
}

// As the firmware's variable service: size 0 or no attributes deletes, and
// a variable is never rewritten with other attributes.
EFI_STATUS
EFIAPI
FakeSetVariable (
  IN CHAR16    *Name,
  IN EFI_GUID  *Guid,
  IN UINT32    Attributes,
  IN UINTN     Size,
  IN VOID      *Data
  )
{
  std::u16string  Name16 = Key (Name, Guid);
  auto            Found  = mStore.find (Name16);

  if ((Size == 0) || (Attributes == 0)) {
    return (mStore.erase (Name16) == 1) ? EFI_SUCCESS : EFI_NOT_FOUND;
  }

  if ((Found != mStore.end ()) && (Found->second.Attributes != Attributes)) {
    return EFI_INVALID_PARAMETER;
  }

  const UINT8  *Bytes = static_cast<const UINT8 *>(Data);
  mStore[Name16] = Variable { Attributes, std::vector<UINT8>(Bytes, Bytes + Size) };
  return EFI_SUCCESS;
}

std::vector<UINTN>  mReports;

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
    mStore.clear ();
    mReports.clear ();
    gRT->GetVariable = FakeGetVariable;
    gRT->SetVariable = FakeSetVariable;
  }

  void
  Plant (
    UINT32              Attributes,
    std::vector<UINT8>  Data
    )
  {
    mStore[Key (reinterpret_cast<CONST CHAR16 *>(u"MorvaneEcVersion"), &gMorvaneEcVersionGuid)] = Variable { Attributes, Data };
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

  Outcome
  SetImage (
    const std::vector<UINT8>  &Payload,
    UINTN                     Size,
    UINT32                    Version
    )
  {
    Outcome  Out    = { EFI_SUCCESS, 0xFFFFFFFF, "" };
    CHAR16   *Why   = nullptr;
    UINT8    Byte   = 0;

    Out.Status = FmpDeviceSetImageWithStatus (Payload.empty () ? &Byte : Payload.data (), Size, nullptr, Report,
                                              Version, &Why, &Out.LastAttempt);
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
// capsule's version and keeps the lowest supported one, and nothing is
// drawn on the console.
TEST_F (EcFmpTest, SetImageFlashesOnlyTheBlocksThatDiffer) {
  const auto  Payload = Image (3 * BLOCK - 0x1000, 1);

  std::copy (Payload.begin () + BLOCK, Payload.begin () + 2 * BLOCK, Flash.begin () + BLOCK);
  Plant (NV_BS, { 0x00, 0x01, 0, 0, 0x80, 0, 0, 0 });

  const Outcome  Got = SetImage (Payload, Payload.size (), 0x200);

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
  EXPECT_EQ (Record ().LowestSupported, 0x80u);
  EXPECT_EQ (Fake::Find ("print"), std::string::npos) << Printed ();
  EXPECT_TRUE (Fake::gState->Live.empty ()) << "pool leaked";
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

    const Outcome  Got = SetImage (Payload, Each.Size, 0x300);

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
