/** @file
  Signed EC capsules: a real capsule from GenerateCapsule.py taken apart,
  every header field of it made wrong in turn, and its signature checked
  by EDK II's own PKCS7 code (compiled here against the host's OpenSSL).

**/

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
}

#include "EcCapsule.h"

namespace {

typedef std::vector<UINT8> Bytes;

Bytes
Load (
  const char  *Name
  )
{
  std::ifstream  File (std::string (CAPSULE_DATA "/") + Name, std::ios::binary);

  return Bytes (std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

std::string
Narrow (
  const CHAR16  *Text
  )
{
  std::string  Out;

  for ( ; Text != nullptr && *Text != 0; Text++) {
    Out += static_cast<char>(*Text);
  }

  return Out;
}

struct Parsed {
  EFI_STATUS    Status;
  EC_CAPSULE    Capsule;
  std::string   Reason;
};

Parsed
Parse (
  const Bytes  &File
  )
{
  Parsed        Out;
  CONST CHAR16  *Reason = nullptr;

  Out.Status = EcCapsuleParse (File.data (), File.size (), &Out.Capsule, &Reason);
  Out.Reason = Narrow (Reason);
  return Out;
}

void
Put32 (
  Bytes   &File,
  size_t  At,
  UINT64  Value,
  size_t  Width = 4
  )
{
  for (size_t Index = 0; Index < Width; Index++) {
    File[At + Index] = static_cast<UINT8>(Value >> (8 * Index));
  }
}

UINT32
Get32 (
  const Bytes  &File,
  size_t       At
  )
{
  UINT32  Value;

  std::memcpy (&Value, &File[At], sizeof (Value));
  return Value;
}

// Where GenerateCapsule.py puts things: a 32-byte capsule header, the FMP
// header and its one offset, the version 3 image header, then the image.
const size_t  HEADER_SIZE = 16, FLAGS = 20, CAPSULE_SIZE = 24;
const size_t  FMP = 32, DRIVERS = 36, ITEMS = 38, OFFSET = 40;
const size_t  ITEM = 48, TYPE_ID = 52, INDEX = 68, IMAGE_SIZE = 72, VENDOR_SIZE = 76, INSTANCE = 80, SUPPORT = 88;
const size_t  IMAGE = 96, AUTH_LENGTH = 104, REVISION = 108, CERT_KIND = 110, CERT_TYPE = 112;

// The payload header follows the signature.
size_t
PayloadHeader (
  const Bytes  &File
  )
{
  return IMAGE + 8 + Get32 (File, AUTH_LENGTH);
}

// The image item header made version 1 (no hardware instance, no support
// bits): 16 bytes fewer, as older tools wrote it.
Bytes
AsVersion1 (
  Bytes  File
  )
{
  File.erase (File.begin () + INSTANCE, File.begin () + IMAGE);
  Put32 (File, CAPSULE_SIZE, File.size ());
  Put32 (File, ITEM, 1);
  return File;
}

// The same with a version 2 header: the hardware instance, no support bits.
Bytes
AsVersion2 (
  Bytes  File
  )
{
  File.erase (File.begin () + SUPPORT, File.begin () + IMAGE);
  Put32 (File, CAPSULE_SIZE, File.size ());
  Put32 (File, ITEM, 2);
  return File;
}

class CapsuleTest : public ::testing::Test {
protected:
  Bytes  Good  = Load ("good.cap");
  Bytes  Image = Load ("ec.bin");
  Bytes  Root  = Load ("root.cer");
};

TEST_F (CapsuleTest, ARealCapsuleGivesItsImageSignatureAndVersions) {
  const EFI_GUID  Machine = { 0x5e1ae1a3, 0x4c1d, 0x5b7e, { 0x9a, 0x8f, 0x6b, 0x1d, 0x2c, 0x3e, 0x4f, 0x50 } };

  ASSERT_EQ (Good.size (), 5917u);
  EXPECT_TRUE (EcCapsuleLooksLikeOne (Good.data (), Good.size ()));
  EXPECT_FALSE (EcCapsuleLooksLikeOne (Image.data (), Image.size ()));
  EXPECT_FALSE (EcCapsuleLooksLikeOne (Good.data (), 15));

  for (const Bytes &File : { Good, AsVersion1 (Good), AsVersion2 (Good) }) {
    auto  P = Parse (File);

    ASSERT_EQ (P.Status, EFI_SUCCESS) << P.Reason;
    EXPECT_EQ (std::memcmp (&P.Capsule.ImageTypeId, &Machine, sizeof (Machine)), 0);
    EXPECT_EQ (P.Capsule.FwVersion, 0x200u);
    EXPECT_EQ (P.Capsule.LowestSupportedVersion, 0x80u);
    EXPECT_EQ (P.Capsule.MonotonicCount, 7u);
    EXPECT_EQ (Bytes (P.Capsule.Payload, P.Capsule.Payload + P.Capsule.PayloadSize), Image);
    EXPECT_EQ (std::memcmp (P.Capsule.Signed, "MSS1", 4), 0);   // the payload header is signed
    EXPECT_EQ (P.Capsule.Signed + 16, P.Capsule.Payload);
    EXPECT_EQ (P.Capsule.Signed + P.Capsule.SignedSize, File.data () + File.size ());
    EXPECT_EQ (P.Capsule.Signature[0], 0x30);   // a DER sequence
  }

  // The flags a capsule for an update after reset carries are fine.
  Put32 (Good, FLAGS, 0x00050000);
  EXPECT_EQ (Parse (Good).Status, EFI_SUCCESS);
}

TEST_F (CapsuleTest, EachWrongOrShortOrOverlappingFieldIsRefusedWithWhatIsWrong) {
  struct Case {
    const char  *What;
    void        (*Edit)(Bytes &);
    const char  *Reason;
  };
  static const Case  Cases[] = {
    { "a raw image",           [](Bytes &F) { F[0] ^= 1; },                          "not a capsule" },
    { "cut in its header",     [](Bytes &F) { F.resize (27); },                      "shorter than a capsule header" },
    { "cut short",             [](Bytes &F) { F.pop_back (); },                      "the capsule is larger than the file" },
    { "size too large",        [](Bytes &F) { Put32 (F, CAPSULE_SIZE, 0xFFFFFFFF); }, "the capsule is larger than the file" },
    { "bytes appended",        [](Bytes &F) { F.push_back (0); },                    "bytes after the end of the capsule" },
    { "header size 27",        [](Bytes &F) { Put32 (F, HEADER_SIZE, 27); },         "a capsule header size smaller than the header" },
    { "header size = capsule", [](Bytes &F) { Put32 (F, HEADER_SIZE, F.size ()); },  "a capsule header size that leaves no room for the rest" },
    { "header size huge",      [](Bytes &F) { Put32 (F, HEADER_SIZE, 0xFFFFFFFF); }, "a capsule header size that leaves no room for the rest" },
    { "unknown flag",          [](Bytes &F) { Put32 (F, FLAGS, 0x00080000); },       "unknown capsule flags" },
    { "system table",          [](Bytes &F) { Put32 (F, FLAGS, 0x00030000); },       "capsule flags that firmware refuses" },
    { "reset, not persistent", [](Bytes &F) { Put32 (F, FLAGS, 0x00040000); },       "capsule flags that firmware refuses" },
    { "header past FMP",       [](Bytes &F) { Put32 (F, HEADER_SIZE, F.size () - 7); }, "shorter than a firmware-management header" },
    { "FMP version 2",         [](Bytes &F) { Put32 (F, FMP, 2); },                  "an unknown firmware-management header version" },
    { "a driver",              [](Bytes &F) { Put32 (F, DRIVERS, 1, 2); },           "an embedded driver" },
    { "no item",               [](Bytes &F) { Put32 (F, ITEMS, 0, 2); },             "no image item" },
    { "two items",             [](Bytes &F) { Put32 (F, ITEMS, 2, 2); },             "more than one image" },
    { "cut in the offsets",    [](Bytes &F) { F.resize (FMP + 12); Put32 (F, CAPSULE_SIZE, F.size ()); }, "the offset table is larger than the file" },
    { "item in the headers",   [](Bytes &F) { Put32 (F, OFFSET, 8, 8); },            "the image item overlaps the headers" },
    { "item at the end",       [](Bytes &F) { Put32 (F, OFFSET, F.size () - FMP, 8); }, "the image item starts past the end of the file" },
    { "item offset huge",      [](Bytes &F) { Put32 (F, OFFSET, ~0ull, 8); },        "the image item starts past the end of the file" },
    { "item offset high half", [](Bytes &F) { Put32 (F, OFFSET, (1ull << 32) | 16, 8); }, "the image item starts past the end of the file" },
    { "item after a gap",      [](Bytes &F) { Put32 (F, OFFSET, 24, 8); },           "bytes between the offset table and the image item" },
    { "item version 0",        [](Bytes &F) { Put32 (F, ITEM, 0); },                 "an unknown image header version" },
    { "item version 4",        [](Bytes &F) { Put32 (F, ITEM, 4); },                 "an unknown image header version" },
    { "item cut in its header", [](Bytes &F) { F.resize (ITEM + 40); Put32 (F, CAPSULE_SIZE, F.size ()); }, "the image item is shorter than its header" },
    { "vendor code",           [](Bytes &F) { Put32 (F, VENDOR_SIZE, 1); },          "a vendor code block" },
    { "image size + 1",        [](Bytes &F) { Put32 (F, IMAGE_SIZE, Get32 (F, IMAGE_SIZE) + 1); }, "the image item is larger than the file" },
    { "image size huge",       [](Bytes &F) { Put32 (F, IMAGE_SIZE, 0xFFFFFFFF); },  "the image item is larger than the file" },
    { "image size - 1",        [](Bytes &F) { Put32 (F, IMAGE_SIZE, Get32 (F, IMAGE_SIZE) - 1); }, "bytes after the image item" },
    { "image index 2",         [](Bytes &F) { F[INDEX] = 2; },                       "an image index other than 1" },
    { "image index 0",         [](Bytes &F) { F[INDEX] = 0; },                       "an image index other than 1" },
    { "hardware instance 1",   [](Bytes &F) { Put32 (F, INSTANCE, 1, 8); },          "a hardware instance other than 0" },
    { "instance high half",    [](Bytes &F) { Put32 (F, INSTANCE, 1ull << 32, 8); }, "a hardware instance other than 0" },
    { "instance 1, version 2", [](Bytes &F) { F = AsVersion2 (F); Put32 (F, INSTANCE, 1, 8); }, "a hardware instance other than 0" },
    { "unknown support bit",   [](Bytes &F) { Put32 (F, SUPPORT, 5, 8); },           "unknown image capsule support bits" },
    { "support high half",     [](Bytes &F) { Put32 (F, SUPPORT, (1ull << 32) | 1, 8); }, "unknown image capsule support bits" },
    { "dependency",            [](Bytes &F) { Put32 (F, SUPPORT, 3, 8); },           "a dependency expression" },
    { "support without auth",  [](Bytes &F) { Put32 (F, SUPPORT, 0, 8); },           "not signed" },
    { "revision 0x100",        [](Bytes &F) { Put32 (F, REVISION, 0x100, 2); },      "a signature block of an unknown revision" },
    { "PKCS1 certificate",     [](Bytes &F) { Put32 (F, CERT_KIND, 0x0EF0, 2); },    "a signature that is not PKCS7" },
    { "another cert type",     [](Bytes &F) { F[CERT_TYPE] ^= 1; },                  "a signature that is not PKCS7" },
    { "dwLength 24",           [](Bytes &F) { Put32 (F, AUTH_LENGTH, 24); },         "an empty signature" },
    { "dwLength 0",            [](Bytes &F) { Put32 (F, AUTH_LENGTH, 0); },          "an empty signature" },
    { "dwLength huge",         [](Bytes &F) { Put32 (F, AUTH_LENGTH, 0xFFFFFFFF); }, "the signature is larger than the image" },
    { "dwLength 1 past",       [](Bytes &F) { Put32 (F, AUTH_LENGTH, F.size () - IMAGE - 7); }, "the signature is larger than the image" },
    { "dwLength 8 past",       [](Bytes &F) { Put32 (F, AUTH_LENGTH, F.size () - IMAGE); }, "the signature is larger than the image" },
    { "dwLength to the end",   [](Bytes &F) { Put32 (F, AUTH_LENGTH, F.size () - IMAGE - 8 - 15); }, "no room for the payload header after the signature" },
    { "payload signature",     [](Bytes &F) { F[PayloadHeader (F) + 3] = '2'; },     "an unknown payload header" },
    { "payload header 15",     [](Bytes &F) { Put32 (F, PayloadHeader (F) + 4, 15); }, "a payload header size smaller than the header" },
    { "payload header all",    [](Bytes &F) { Put32 (F, PayloadHeader (F) + 4, F.size () - PayloadHeader (F)); }, "no EC image after the payload header" },
    { "payload header huge",   [](Bytes &F) { Put32 (F, PayloadHeader (F) + 4, 0xFFFFFFFF); }, "no EC image after the payload header" },
    { "lowest above version",  [](Bytes &F) { Put32 (F, PayloadHeader (F) + 12, 0x201); }, "a lowest supported version above its own version" },
    // Signed as they are: what they carry would not reach the EC whole.
    { "a capsule inside",      [](Bytes &F) { F = Load ("nested.cap"); },            "a capsule inside a capsule" },
    { "a tail left out",       [](Bytes &F) { F = Load ("cut.cap"); },
      "an EC image whose last block holds under 8 KiB, which the flash would leave out" },
  };

  for (const Case &C : Cases) {
    Bytes  File = Good;

    C.Edit (File);
    auto  P = Parse (File);
    EXPECT_EQ (P.Status, EFI_UNSUPPORTED) << C.What;
    EXPECT_EQ (P.Reason, C.Reason) << C.What;
    EXPECT_EQ (P.Capsule.Payload, nullptr) << C.What;
  }

  // Every shorter piece of a good capsule is refused, and nothing is read past it.
  for (size_t Size = 1; Size < Good.size (); Size++) {
    Bytes  Cut (Good.begin (), Good.begin () + Size);
    EXPECT_EQ (Parse (Cut).Status, EFI_UNSUPPORTED) << Size;
  }
}

TEST_F (CapsuleTest, AnUnsignedCapsuleIsRefusedAsSuchWhateverItsHeaderVersion) {
  Bytes  Unsigned = Load ("unsigned.cap");

  EXPECT_EQ (Parse (Unsigned).Reason, "not signed");
  EXPECT_EQ (Parse (AsVersion1 (Unsigned)).Reason, "not signed");
}

TEST_F (CapsuleTest, OnlyASignatureThatLeadsToTheTrustedCertificatePasses) {
  CHAR16  Name[EC_CAPSULE_NAME_CHARS];
  Bytes   Sub   = Load ("sub.cer");
  Bytes   Other = Load ("other.cer");

  auto  P = Parse (Good);
  ASSERT_EQ (P.Status, EFI_SUCCESS);
  EXPECT_EQ (EcCapsuleVerify (&P.Capsule, Root.data (), Root.size ()), EFI_SUCCESS);
  EXPECT_EQ (EcCapsuleVerify (&P.Capsule, Sub.data (), Sub.size ()), EFI_SUCCESS);      // an intermediate will do
  EXPECT_EQ (EcCapsuleVerify (&P.Capsule, Other.data (), Other.size ()), EFI_SECURITY_VIOLATION);
  EXPECT_EQ (EcCapsuleVerify (&P.Capsule, Image.data (), Image.size ()), EFI_SECURITY_VIOLATION);   // not a certificate
  EXPECT_EQ (EcCapsuleVerify (&P.Capsule, Root.data (), 0), EFI_INVALID_PARAMETER);
  ASSERT_EQ (EcCapsuleSignerName (&P.Capsule, Name, EC_CAPSULE_NAME_CHARS), EFI_SUCCESS);
  EXPECT_EQ (Narrow (Name), "TestCert");
  ASSERT_EQ (EcCapsuleCertName (Root.data (), Root.size (), Name, EC_CAPSULE_NAME_CHARS), EFI_SUCCESS);
  EXPECT_EQ (Narrow (Name), "TestRoot");
  ASSERT_EQ (EcCapsuleCertName (Root.data (), Root.size (), Name, 5), EFI_SUCCESS);
  EXPECT_EQ (Narrow (Name), "Test");
  EXPECT_EQ (EcCapsuleCertName (Image.data (), Image.size (), Name, EC_CAPSULE_NAME_CHARS), EFI_INVALID_PARAMETER);

  // One byte of the EC image, or the monotonic count, changed after signing.
  for (size_t At : { Good.size () - 1, Good.size () - Image.size (), IMAGE }) {
    Bytes  Changed = Good;
    Changed[At] ^= 0x01;
    auto  C = Parse (Changed);
    ASSERT_EQ (C.Status, EFI_SUCCESS);
    EXPECT_EQ (EcCapsuleVerify (&C.Capsule, Root.data (), Root.size ()), EFI_SECURITY_VIOLATION) << At;
  }

  // Another signer's capsule: well-formed, named, and refused.
  Bytes  OtherCapsule = Load ("other.cap");
  auto   O            = Parse (OtherCapsule);
  ASSERT_EQ (O.Status, EFI_SUCCESS);
  EXPECT_EQ (EcCapsuleVerify (&O.Capsule, Root.data (), Root.size ()), EFI_SECURITY_VIOLATION);
  EXPECT_EQ (EcCapsuleVerify (&O.Capsule, Other.data (), Other.size ()), EFI_SUCCESS);
  ASSERT_EQ (EcCapsuleSignerName (&O.Capsule, Name, EC_CAPSULE_NAME_CHARS), EFI_SUCCESS);
  EXPECT_EQ (Narrow (Name), "Another signer");
}

}  // namespace
