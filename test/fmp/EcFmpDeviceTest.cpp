/** @file
  The EC update driver's final parts on the host: the version record
  against a variable store that behaves as the firmware's does, and the
  progress reports FmpDxe gets. Linked on its own (fmp_host_tests): the
  store below is the only firmware it needs.

**/

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcFmpDevice.h"
#include "EcVersionRecord.h"

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

EFI_RUNTIME_SERVICES  mServices;

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

void
Plant (
  UINT32              Attributes,
  std::vector<UINT8>  Data
  )
{
  mStore[Key (reinterpret_cast<CONST CHAR16 *>(u"MorvaneEcVersion"), &gMorvaneEcVersionGuid)] = Variable { Attributes, Data };
}

}  // namespace

extern "C" {
EFI_GUID              gMorvaneEcVersionGuid = { 0x5baf24e3, 0x918d, 0x4465, { 0xbd, 0x06, 0x20, 0xf9, 0x27, 0x54, 0xb7, 0x34 }
};
EFI_RUNTIME_SERVICES  *gRT = &mServices;

VOID *
EFIAPI
ZeroMem (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  return memset (Buffer, 0, Length);
}
}

// What was there before, what a read finds, and that a write leaves the
// firmware's record (NV+BS, 8 bytes) whatever was there.
TEST (EcVersionRecord, ReadsOnlyTheFirmwaresRecordAndWritesOverAnyOther) {
  struct Case {
    const char          *Name;
    bool                Planted;
    UINT32              Attributes;
    std::vector<UINT8>  Data;
    EFI_STATUS          Read;
    UINT32              Version;
  };
  const Case  Cases[] = {
    { "none",                    false, 0,        {},                                   EFI_NOT_FOUND, 0     },
    { "the firmware's",          true,  NV_BS,    { 0x00, 0x02, 0, 0, 0x80, 0, 0, 0 }, EFI_SUCCESS,   0x200 },
    { "made by an OS (runtime)", true,  NV_BS_RT, { 0x00, 0x09, 0, 0, 0,    0, 0, 0 }, EFI_NOT_FOUND, 0     },
    { "too long",                true,  NV_BS,    std::vector<UINT8>(12, 0x11),        EFI_NOT_FOUND, 0     },
    { "too short",               true,  NV_BS,    { 0x00, 0x02, 0, 0 },                EFI_NOT_FOUND, 0     },
  };

  mServices.GetVariable = FakeGetVariable;
  mServices.SetVariable = FakeSetVariable;
  for (const Case &Each : Cases) {
    SCOPED_TRACE (Each.Name);
    mStore.clear ();
    if (Each.Planted) {
      Plant (Each.Attributes, Each.Data);
    }

    MORVANE_EC_VERSION_RECORD  Record = { 7, 7 };
    EXPECT_EQ (EcVersionRecordRead (&Record), Each.Read);
    EXPECT_EQ (Record.Version, Each.Version);
    EXPECT_EQ (Record.LowestSupported, (Each.Read == EFI_SUCCESS) ? 0x80u : 0u);

    const MORVANE_EC_VERSION_RECORD  Written = { 0x300, 0x100 };
    ASSERT_EQ (EcVersionRecordWrite (&Written), EFI_SUCCESS);
    ASSERT_EQ (mStore.size (), 1u);
    const Variable  &Kept = mStore.begin ()->second;
    EXPECT_EQ (Kept.Attributes, NV_BS);
    EXPECT_EQ (Kept.Data, (std::vector<UINT8>{ 0x00, 0x03, 0, 0, 0x00, 0x01, 0, 0 }));
    ASSERT_EQ (EcVersionRecordRead (&Record), EFI_SUCCESS);
    EXPECT_EQ (Record.Version, 0x300u);
  }
}

// FmpDxe hears 0 first, then each whole percent gained once, up to 100.
TEST (EcFmpProgress, ReportsEachWholePercentOnce) {
  struct Case {
    UINTN    Blocks;
    size_t   Reports;
  };
  const Case  Cases[] = {
    { 1,   2   },   // 0, 100
    { 3,   4   },   // 0, 33, 66, 100
    { 256, 101 },   // 0 to 100, each once
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
    EXPECT_EQ (mReports.front (), 0u);
    EXPECT_EQ (mReports.back (), 100u);
    for (size_t Index = 1; Index < mReports.size (); Index++) {
      EXPECT_GT (mReports[Index], mReports[Index - 1]);
    }
  }

  EC_FMP_PROGRESS  Silent;
  EcFmpProgressStart (&Silent, NULL);
  EcFmpProgressBlocks (&Silent, 1, 0);
}
