/** @file
  Fuzz target: the capsule parser (its payload header reader, which the
  EC update driver calls on its own, too), and the SMBIOS reader of the hardware
  IDs, on any bytes. Both read files and firmware tables from outside, so
  neither may read past the buffer, and what they give back must lie
  inside it. Built and run with the other targets by scripts/fuzz.sh
  (`FUZZ_SECONDS=60 scripts/fuzz.sh Capsule` for a minute alone).

  The seeds: a signed and an unsigned capsule from GenerateCapsule.py with a
  16-byte image, the signed one with a version 1 image header, the signed
  one carrying itself and carrying an image whose tail the flash would leave
  out (make_corpus.py), and the SMBIOS tables of QEMU's q35 machine and of a
  host test's machine.

**/

#include <cstddef>
#include <cstdint>

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcCapsule.h"
#include "EcImagePlan.h"

namespace {

// A part that must lie inside the buffer; its bytes are read so that
// AddressSanitizer sees a part that does not.
void
Inside (
  const UINT8  *Data,
  size_t       Size,
  const UINT8  *Part,
  UINTN        PartSize
  )
{
  volatile UINT8  Sink = 0;

  if ((Part < Data) || (PartSize > Size) || (Part > Data + Size - PartSize)) {
    __builtin_trap ();
  }

  for (UINTN Index = 0; Index < PartSize; Index += 61) {
    Sink = Sink + Part[Index];
  }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  EC_CAPSULE      Capsule;
  CONST CHAR16    *Reason = nullptr;
  EC_HWID_FIELDS  Fields;
  EC_IMAGE_PLAN   Plan;

  if (EcCapsuleParse (Data, Size, &Capsule, &Reason) == EFI_SUCCESS) {
    // What it carries reaches the EC whole: no capsule, no tail left out.
    EcPlanImage (Capsule.PayloadSize, &Plan);
    if ((Reason != nullptr) || !EcCapsuleLooksLikeOne (Data, Size) || (Capsule.PayloadSize == 0) ||
        EcCapsuleLooksLikeOne (Capsule.Payload, Capsule.PayloadSize) || (!Plan.TooLarge && (Plan.LeftOutBytes > 0)) ||
        (Capsule.LowestSupportedVersion > Capsule.FwVersion) ||
        (Capsule.Signed + Capsule.SignedSize != Capsule.Image + Capsule.ImageSize) ||
        (Capsule.Payload + Capsule.PayloadSize != Capsule.Signed + Capsule.SignedSize))
    {
      __builtin_trap ();
    }

    Inside (Data, Size, Capsule.Image, Capsule.ImageSize);
    Inside (Data, Size, Capsule.Signature, Capsule.SignatureSize);
    Inside (Data, Size, Capsule.Signed, Capsule.SignedSize);
    Inside (Data, Size, Capsule.Payload, Capsule.PayloadSize);
  } else if ((Data != nullptr) && ((Reason == nullptr) || (Reason[0] == 0))) {
    __builtin_trap ();
  }

  EC_PAYLOAD_HEADER  Header;
  if ((EcCapsuleReadPayloadHeader (Data, Size, &Header) == nullptr) &&
      ((Header.HeaderSize < EC_PAYLOAD_HEADER_SIZE) || (Header.HeaderSize >= Size) ||
       (Header.LowestSupportedVersion > Header.FwVersion)))
  {
    __builtin_trap ();
  }

  EcHwIdFieldsFromSmbios (Data, Size, &Fields);
  for (UINTN Field = 0; Field < EC_HWID_FIELD_COUNT; Field++) {
    const EC_HWID_TEXT  &Text = Fields.Field[Field];
    const UINT8         *At   = reinterpret_cast<const UINT8 *>(Text.Text);

    if (Text.Text == Fields.Number[Field]) {
      if (Text.Length > 2) {
        __builtin_trap ();
      }
    } else if (Text.Text != nullptr) {
      Inside (Data, Size, At, Text.Length);
    }
  }

  return 0;
}
