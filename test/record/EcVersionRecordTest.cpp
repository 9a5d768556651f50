/** @file
  The EC firmware's version record against the fakes' variable store,
  which refuses a rewrite with other attributes as the firmware's does.

**/

#include "HostTest.h"

extern "C" {
#include <Uefi.h>
}

#include "EcVersionRecord.h"

namespace {

CONST UINT32  NV_BS    = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
CONST UINT32  NV_BS_RT = NV_BS | EFI_VARIABLE_RUNTIME_ACCESS;

using EcVersionRecordTest = HostTest;

// What was there before, what a read finds, and what a write leaves: the
// firmware's record (NV+BS, 8 bytes) over anything it may delete, the
// variable as it was where it may not.
TEST_F (EcVersionRecordTest, ReadsOnlyTheFirmwaresRecordAndWritesOverWhatItMayDelete) {
  struct Case {
    const char          *Name;
    bool                Planted;
    UINT32              Attributes;
    std::vector<UINT8>  Data;
    EFI_STATUS          Unreadable;     // the store's answer to every read
    EFI_STATUS          Read;
    UINT32              Version;
    EFI_STATUS          Write;
  };
  const std::vector<UINT8>  OS_RECORD = { 0x00, 0x09, 0, 0, 0, 0, 0, 0 };
  const Case  Cases[] = {
    { "none",                    false, 0,         {},                                  EFI_SUCCESS,      EFI_NOT_FOUND,             0,     EFI_SUCCESS            },
    { "the firmware's",          true,  NV_BS,     { 0x00, 0x02, 0, 0, 0x80, 0, 0, 0 }, EFI_SUCCESS,      EFI_SUCCESS,               0x200, EFI_SUCCESS            },
    { "made by an OS (runtime)", true,  NV_BS_RT,  OS_RECORD,                           EFI_SUCCESS,      EC_VERSION_RECORD_FOREIGN, 0,     EFI_SUCCESS            },
    { "too long",                true,  NV_BS,     std::vector<UINT8>(12, 0x11),        EFI_SUCCESS,      EC_VERSION_RECORD_FOREIGN, 0,     EFI_SUCCESS            },
    { "too short",               true,  NV_BS,     { 0x00, 0x02, 0, 0 },                EFI_SUCCESS,      EC_VERSION_RECORD_FOREIGN, 0,     EFI_SUCCESS            },
    { "authenticated by an OS",  true,  NV_BS_RT | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS, OS_RECORD,
      EFI_SUCCESS, EC_VERSION_RECORD_FOREIGN, 0, EFI_SECURITY_VIOLATION },
    { "a store that cannot be read", true, NV_BS,  { 0x00, 0x02, 0, 0, 0x80, 0, 0, 0 }, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR,          0,     EFI_DEVICE_ERROR       },
  };
  const std::u16string  Key = Fake::VariableKey (u"MorvaneEcVersion", gMorvaneEcVersionGuid);

  for (const Case &Each : Cases) {
    SCOPED_TRACE (Each.Name);
    SetUp ();
    if (Each.Planted) {
      Fake::gState->Variables[Key] = Fake::Variable { Each.Attributes, Each.Data };
    }

    Fake::gState->GetVariableStatus = Each.Unreadable;
    const auto                 Before = Fake::gState->Variables;
    MORVANE_EC_VERSION_RECORD  Record = { 7, 7 };
    EXPECT_EQ (EcVersionRecordRead (&Record), Each.Read);
    EXPECT_EQ (Record.Version, Each.Version);
    EXPECT_EQ (Record.LowestSupported, (Each.Read == EFI_SUCCESS) ? 0x80u : 0u);

    const MORVANE_EC_VERSION_RECORD  Written = { 0x300, 0x100 };
    ASSERT_EQ (EcVersionRecordWrite (&Written), Each.Write);
    ASSERT_EQ (Fake::gState->Variables.size (), Each.Planted ? 1u : (Each.Write == EFI_SUCCESS ? 1u : 0u));
    if (Each.Write != EFI_SUCCESS) {
      EXPECT_EQ (Fake::gState->Variables.begin ()->second.Data, Before.begin ()->second.Data);
      continue;
    }

    const Fake::Variable  &Kept = Fake::gState->Variables.begin ()->second;
    EXPECT_EQ (Kept.Attributes, NV_BS);
    EXPECT_EQ (Kept.Data, (std::vector<UINT8>{ 0x00, 0x03, 0, 0, 0x00, 0x01, 0, 0 }));
    ASSERT_EQ (EcVersionRecordRead (&Record), EFI_SUCCESS);
    EXPECT_EQ (Record.Version, 0x300u);
  }
}

}  // namespace
