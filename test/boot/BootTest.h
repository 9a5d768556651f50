/** @file
  Runs of Morvane started by the firmware, with no shell: its loaded image,
  a machine that names its product, and the operator's keys.

**/

#ifndef MORVANE_BOOT_TEST_H_
#define MORVANE_BOOT_TEST_H_

#include "RunTest.h"

class BootTest : public RunTest {
public:
  void
  SetUp (
    ) override
  {
    RunTest::SetUp ();
    Fake::gState->InitializeStatus = EFI_NOT_FOUND;   // no shell
    Fake::gState->HasLoadedImage   = TRUE;
    Fake::PublishSmbios ("S1", std::vector<UINT8>(16, 0), "Morv 7");
  }

protected:
  // Start Morvane as the firmware would, with Keys typed one at each wait.
  EFI_STATUS
  StartByFirmware (
    const std::u16string  &Keys
    )
  {
    Fake::gState->Keys.assign (Keys.begin (), Keys.end ());
    EFI_STATUS  Status = UefiMain (Fake::ImageHandle (), gST);

    EXPECT_TRUE (Fake::gState->Live.empty ()) << "pool leaked on this path";
    return Status;
  }

  // When the EC was first told to erase a block, or npos: never.
  size_t
  FirstErase (
    ) const
  {
    for (UINT32 Index = 0; Index < Sim->RecordLength; Index++) {
      if ((Sim->Record[Index].Kind == EcSimCommand) && (Sim->Record[Index].Value == 0xD8)) {
        return Sim->Record[Index].Stamp;
      }
    }

    return std::string::npos;
  }
};

#endif
