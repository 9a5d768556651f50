/** @file
  Whole runs of UefiMain against the fakes and the simulated EC.

**/

#ifndef MORVANE_RUN_TEST_H_
#define MORVANE_RUN_TEST_H_

#include "HostTest.h"

#include <random>

extern "C" {
#include <Library/UefiBootServicesTableLib.h>
}

extern "C" EFI_STATUS EFIAPI UefiMain (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

class RunTest : public HostTest {
protected:
  static constexpr const char16_t  *IMAGE_PATH = u"FS0:\\images\\ec.bin";

  // A CRC-32 as the log and -c write it.
  static std::string
  Hex (
    UINT32  Value
    )
  {
    char  Text[16];

    snprintf (Text, sizeof (Text), "%08X", Value);
    return Text;
  }

  std::vector<UINT8>
  RandomImage (
    size_t    Size,
    unsigned  Seed = 1
    ) const
  {
    std::mt19937        Random (Seed);
    std::vector<UINT8>  Image (Size);

    for (auto &Byte : Image) {
      Byte = static_cast<UINT8>(Random ());
    }

    return Image;
  }

  void
  AddImage (
    const std::vector<UINT8>  &Image,
    const std::u16string      &Path = IMAGE_PATH
    )
  {
    Fake::gState->Files[Path].Data = Image;
  }

  EFI_STATUS
  Run (
    std::vector<std::u16string>  Args
    )
  {
    Args.insert (Args.begin (), u"Morvane");
    Fake::gState->Argv = Args;
    EFI_STATUS  Status = UefiMain (nullptr, gST);

    EXPECT_TRUE (Fake::gState->Live.empty ()) << "pool leaked on this path";
    EXPECT_EQ (Fake::gState->OpenHandles, 0u) << "file left open";
    return Status;
  }

  // What was printed after the screen's labels.
  std::string
  PrintedAfterLabels (
    ) const
  {
    const std::string  Text  = Printed ();
    const std::string  Label = "Verify  :??";
    const size_t       At    = Text.rfind (Label);

    return (At == std::string::npos) ? Text : Text.substr (At + Label.size ());
  }

  // Nothing reached any port.
  bool
  NoPortTouched (
    ) const
  {
    return Fake::gState->Writes.empty () && Fake::gState->ReadsOf.empty ();
  }
};

#endif
