/** @file
  The layout of a signed EC capsule, checked field by field against the
  file before anything in it is used.

  Fields are read byte by byte as little-endian values: the file can sit at
  any address and its item at any offset, so no structure is laid over it.
  Sizes in the file are at most 32 bits and offsets 64; every sum below is
  of values already known to lie within the file, so none can wrap.

  What a capsule carries is what reaches the EC, whole: its payload is held
  to the same rules here as the image make capsule wraps (PayloadRefusal).

**/

extern "C" {
#include <Uefi.h>
#include <Guid/FmpCapsule.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/WinCertificate.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcCapsule.h"
#include "EcImagePlan.h"
#include "Ucs2.h"

//
// EFI_CAPSULE_HEADER: GUID, HeaderSize, Flags, CapsuleImageSize.
//
#define CAPSULE_HEADER_SIZE         28
#define CAPSULE_HEADER_SIZE_AT      16
#define CAPSULE_FLAGS_AT            20
#define CAPSULE_IMAGE_SIZE_AT       24
#define CAPSULE_FLAGS_KNOWN         (0x0000FFFF | CAPSULE_FLAGS_PERSIST_ACROSS_RESET | \
                                     CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE | CAPSULE_FLAGS_INITIATE_RESET)

//
// EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER with one entry in its offset table.
//
#define FMP_HEADER_SIZE             8
#define FMP_EMBEDDED_COUNT_AT       4
#define FMP_PAYLOAD_COUNT_AT        6
#define FMP_TABLE_END               (FMP_HEADER_SIZE + sizeof (UINT64))

//
// EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER: its size grew with each
// version (UpdateHardwareInstance from 2, ImageCapsuleSupport from 3).
//
#define ITEM_TYPE_ID_AT             4
#define ITEM_INDEX_AT               20
#define ITEM_IMAGE_SIZE_AT          24
#define ITEM_VENDOR_SIZE_AT         28
#define ITEM_INSTANCE_AT            32
#define ITEM_SUPPORT_AT             40
#define ITEM_HEADER_V1_SIZE         32
#define ITEM_HEADER_V2_SIZE         40
#define ITEM_HEADER_V3_SIZE         48
#define ITEM_SUPPORT_KNOWN          (CAPSULE_SUPPORT_AUTHENTICATION | CAPSULE_SUPPORT_DEPENDENCY)

//
// EFI_FIRMWARE_IMAGE_AUTHENTICATION: MonotonicCount, then
// WIN_CERTIFICATE_UEFI_GUID (dwLength, wRevision, wCertificateType,
// CertType, CertData). dwLength counts from dwLength itself.
//
#define AUTH_LENGTH_AT              8
#define AUTH_REVISION_AT            12
#define AUTH_CERT_KIND_AT           14
#define AUTH_CERT_TYPE_AT           16
#define AUTH_HEADER_SIZE            32
#define AUTH_CERT_DATA_OFFSET       24     // OFFSET_OF (WIN_CERTIFICATE_UEFI_GUID, CertData)
#define AUTH_REVISION               0x0200

//
// The FMP payload header of FmpPayloadHeaderLibV1: Signature, HeaderSize,
// FwVersion, LowestSupportedVersion.
//
#define PAYLOAD_SIGNATURE           SIGNATURE_32 ('M', 'S', 'S', '1')
#define PAYLOAD_HEADER_SIZE_AT      4
#define PAYLOAD_VERSION_AT          8
#define PAYLOAD_LOWEST_AT           12
#define PAYLOAD_HEADER_SIZE         EC_PAYLOAD_HEADER_SIZE

STATIC CONST EFI_GUID  mFmpCapsuleGuid = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
STATIC CONST EFI_GUID  mPkcs7Guid      = EFI_CERT_TYPE_PKCS7_GUID;

STATIC
UINT16
Le16 (
  IN CONST UINT8  *At
  )
{
  return static_cast<UINT16>(At[0] | (At[1] << 8));
}

STATIC
UINT32
Le32 (
  IN CONST UINT8  *At
  )
{
  return static_cast<UINT32>(At[0]) | (static_cast<UINT32>(At[1]) << 8) |
         (static_cast<UINT32>(At[2]) << 16) | (static_cast<UINT32>(At[3]) << 24);
}

STATIC
UINT64
Le64 (
  IN CONST UINT8  *At
  )
{
  return Le32 (At) | (static_cast<UINT64>(Le32 (At + 4)) << 32);
}

STATIC
BOOLEAN
GuidAt (
  IN CONST UINT8     *At,
  IN CONST EFI_GUID  *Guid
  )
{
  EFI_GUID  Copy;

  CopyMem (&Copy, At, sizeof (Copy));
  return CompareGuid (&Copy, Guid);
}

BOOLEAN
EcCapsuleLooksLikeOne (
  IN CONST VOID  *File,
  IN UINTN       Size
  )
{
  return File != NULL && Size >= sizeof (EFI_GUID) && GuidAt (static_cast<CONST UINT8 *>(File), &mFmpCapsuleGuid);
}

/**
  Check the capsule header and the FMP header, and find the one image item.

  @param[in]  File      The file.
  @param[in]  Size      Its size.
  @param[out] Item      The item's first byte.
  @param[out] ItemSize  Its size: to the end of the capsule.

  @return NULL when the headers hold, or why not.
**/
STATIC
CONST CHAR16 *
FindImageItem (
  IN  CONST UINT8  *File,
  IN  UINTN        Size,
  OUT CONST UINT8  **Item,
  OUT UINTN        *ItemSize
  )
{
  UINT32       HeaderSize;
  UINT32       Flags;
  UINT32       CapsuleSize;
  CONST UINT8  *Fmp;
  UINTN        FmpSize;
  UINT64       Offset;

  if (!EcCapsuleLooksLikeOne (File, Size)) {
    return Ucs2 (u"not a capsule");
  }

  if (Size < CAPSULE_HEADER_SIZE) {
    return Ucs2 (u"shorter than a capsule header");
  }

  HeaderSize  = Le32 (File + CAPSULE_HEADER_SIZE_AT);
  Flags       = Le32 (File + CAPSULE_FLAGS_AT);
  CapsuleSize = Le32 (File + CAPSULE_IMAGE_SIZE_AT);
  if (CapsuleSize > Size) {
    return Ucs2 (u"the capsule is larger than the file");
  }

  if (CapsuleSize < Size) {
    return Ucs2 (u"bytes after the end of the capsule");
  }

  if (HeaderSize < CAPSULE_HEADER_SIZE) {
    return Ucs2 (u"a capsule header size smaller than the header");
  }

  if (HeaderSize >= CapsuleSize) {
    return Ucs2 (u"a capsule header size that leaves no room for the rest");
  }

  if ((Flags & ~static_cast<UINT32>(CAPSULE_FLAGS_KNOWN)) != 0) {
    return Ucs2 (u"unknown capsule flags");
  }

  //
  // As UpdateCapsule refuses them: a table entry makes no sense for an
  // update, and a reset only with a capsule that persists across it.
  //
  if (((Flags & CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE) != 0) ||
      ((Flags & (CAPSULE_FLAGS_PERSIST_ACROSS_RESET | CAPSULE_FLAGS_INITIATE_RESET)) == CAPSULE_FLAGS_INITIATE_RESET))
  {
    return Ucs2 (u"capsule flags that firmware refuses");
  }

  Fmp     = File + HeaderSize;
  FmpSize = CapsuleSize - HeaderSize;
  if (FmpSize < FMP_HEADER_SIZE) {
    return Ucs2 (u"shorter than a firmware-management header");
  }

  if (Le32 (Fmp) != EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION) {
    return Ucs2 (u"an unknown firmware-management header version");
  }

  if (Le16 (Fmp + FMP_EMBEDDED_COUNT_AT) != 0) {
    return Ucs2 (u"an embedded driver");
  }

  if (Le16 (Fmp + FMP_PAYLOAD_COUNT_AT) == 0) {
    return Ucs2 (u"no image item");
  }

  if (Le16 (Fmp + FMP_PAYLOAD_COUNT_AT) > 1) {
    return Ucs2 (u"more than one image");
  }

  if (FmpSize < FMP_TABLE_END) {
    return Ucs2 (u"the offset table is larger than the file");
  }

  //
  // The item follows the table directly: an offset below would make it
  // overlap the headers, one above would leave bytes that nothing accounts for.
  //
  Offset = Le64 (Fmp + FMP_HEADER_SIZE);
  if (Offset < FMP_TABLE_END) {
    return Ucs2 (u"the image item overlaps the headers");
  }

  if (Offset >= FmpSize) {
    return Ucs2 (u"the image item starts past the end of the file");
  }

  if (Offset > FMP_TABLE_END) {
    return Ucs2 (u"bytes between the offset table and the image item");
  }

  *Item     = Fmp + Offset;
  *ItemSize = FmpSize - static_cast<UINTN>(Offset);
  return NULL;
}

/**
  Check the image item's header and find its image.

  @param[in]  Item        The item.
  @param[in]  ItemSize    Its size.
  @param[out] Capsule     Receives ImageTypeId, Image and ImageSize.

  @return NULL when the header holds, or why not.
**/
STATIC
CONST CHAR16 *
ReadItemHeader (
  IN  CONST UINT8  *Item,
  IN  UINTN        ItemSize,
  OUT EC_CAPSULE   *Capsule
  )
{
  UINT32  Version;
  UINTN   HeaderSize;
  UINT32  ImageSize;
  UINT64  Support;

  Version = (ItemSize >= sizeof (UINT32)) ? Le32 (Item) : 0;
  switch (Version) {
    case 1:  HeaderSize = ITEM_HEADER_V1_SIZE; break;
    case 2:  HeaderSize = ITEM_HEADER_V2_SIZE; break;
    case 3:  HeaderSize = ITEM_HEADER_V3_SIZE; break;
    default: return (ItemSize < sizeof (UINT32)) ? Ucs2 (u"the image item is shorter than its header")
                                                   : Ucs2 (u"an unknown image header version");
  }

  if (ItemSize < HeaderSize) {
    return Ucs2 (u"the image item is shorter than its header");
  }

  if (Le32 (Item + ITEM_VENDOR_SIZE_AT) != 0) {
    return Ucs2 (u"a vendor code block");
  }

  ImageSize = Le32 (Item + ITEM_IMAGE_SIZE_AT);
  if (ImageSize > ItemSize - HeaderSize) {
    return Ucs2 (u"the image item is larger than the file");
  }

  if (ImageSize < ItemSize - HeaderSize) {
    return Ucs2 (u"bytes after the image item");
  }

  //
  // The EC has one firmware image, and one instance of it.
  //
  if (Item[ITEM_INDEX_AT] != 1) {
    return Ucs2 (u"an image index other than 1");
  }

  if ((Version >= 2) && (Le64 (Item + ITEM_INSTANCE_AT) != 0)) {
    return Ucs2 (u"a hardware instance other than 0");
  }

  if (Version >= 3) {
    Support = Le64 (Item + ITEM_SUPPORT_AT);
    if ((Support & ~static_cast<UINT64>(ITEM_SUPPORT_KNOWN)) != 0) {
      return Ucs2 (u"unknown image capsule support bits");
    }

    if ((Support & CAPSULE_SUPPORT_DEPENDENCY) != 0) {
      return Ucs2 (u"a dependency expression");
    }

    if ((Support & CAPSULE_SUPPORT_AUTHENTICATION) == 0) {
      return Ucs2 (u"not signed");
    }
  }

  CopyMem (&Capsule->ImageTypeId, Item + ITEM_TYPE_ID_AT, sizeof (EFI_GUID));
  Capsule->Image     = Item + HeaderSize;
  Capsule->ImageSize = ImageSize;
  return NULL;
}

/**
  Check the authentication block and the payload header of the image.

  @param[in,out] Capsule   Image and ImageSize in; the rest out.

  @return NULL when both hold, or why not.
**/
STATIC
CONST CHAR16 *
ReadSignedImage (
  IN OUT EC_CAPSULE  *Capsule
  )
{
  CONST UINT8  *Image;
  UINTN        Size;
  UINT32       AuthLength;
  CONST UINT8        *Header;
  UINTN              Rest;
  UINT32             HeaderSize;
  EC_PAYLOAD_HEADER  Fields;
  CONST CHAR16       *Reason;

  Image = Capsule->Image;
  Size  = Capsule->ImageSize;

  //
  // An unsigned capsule from the same tool has the payload header where
  // the authentication block would be.
  //
  if ((Size >= sizeof (UINT32)) && (Le32 (Image) == PAYLOAD_SIGNATURE)) {
    return Ucs2 (u"not signed");
  }

  if (Size < AUTH_HEADER_SIZE) {
    return Ucs2 (u"the image is too short to hold a signature");
  }

  if (Le16 (Image + AUTH_REVISION_AT) != AUTH_REVISION) {
    return Ucs2 (u"a signature block of an unknown revision");
  }

  if ((Le16 (Image + AUTH_CERT_KIND_AT) != WIN_CERT_TYPE_EFI_GUID) || !GuidAt (Image + AUTH_CERT_TYPE_AT, &mPkcs7Guid)) {
    return Ucs2 (u"a signature that is not PKCS7");
  }

  AuthLength = Le32 (Image + AUTH_LENGTH_AT);
  if (AuthLength <= AUTH_CERT_DATA_OFFSET) {
    return Ucs2 (u"an empty signature");
  }

  if (AuthLength > Size - AUTH_LENGTH_AT) {
    return Ucs2 (u"the signature is larger than the image");
  }

  Header = Image + AUTH_LENGTH_AT + AuthLength;
  Rest   = Size - AUTH_LENGTH_AT - AuthLength;
  if (Rest < PAYLOAD_HEADER_SIZE) {
    return Ucs2 (u"no room for the payload header after the signature");
  }

  Reason = EcCapsuleReadPayloadHeader (Header, Rest, &Fields);
  if (Reason != NULL) {
    return Reason;
  }

  HeaderSize                      = Fields.HeaderSize;
  Capsule->FwVersion              = Fields.FwVersion;
  Capsule->LowestSupportedVersion = Fields.LowestSupportedVersion;
  Capsule->MonotonicCount = Le64 (Image);
  Capsule->Signature      = Image + AUTH_LENGTH_AT + AUTH_CERT_DATA_OFFSET;
  Capsule->SignatureSize  = AuthLength - AUTH_CERT_DATA_OFFSET;
  Capsule->Signed         = Header;
  Capsule->SignedSize     = Rest;
  Capsule->Payload        = Header + HeaderSize;
  Capsule->PayloadSize    = Rest - HeaderSize;
  return NULL;
}

CONST CHAR16 *
EcCapsuleReadPayloadHeader (
  IN  CONST VOID         *Header,
  IN  UINTN              Size,
  OUT EC_PAYLOAD_HEADER  *Fields
  )
{
  CONST UINT8  *At;

  At = static_cast<CONST UINT8 *>(Header);
  ZeroMem (Fields, sizeof (*Fields));
  if ((At == NULL) || (Size < PAYLOAD_HEADER_SIZE)) {
    return Ucs2 (u"no room for the payload header");
  }

  if (Le32 (At) != PAYLOAD_SIGNATURE) {
    return Ucs2 (u"an unknown payload header");
  }

  Fields->HeaderSize = Le32 (At + PAYLOAD_HEADER_SIZE_AT);
  if (Fields->HeaderSize < PAYLOAD_HEADER_SIZE) {
    return Ucs2 (u"a payload header size smaller than the header");
  }

  if (Fields->HeaderSize >= Size) {
    return Ucs2 (u"no EC image after the payload header");
  }

  Fields->FwVersion              = Le32 (At + PAYLOAD_VERSION_AT);
  Fields->LowestSupportedVersion = Le32 (At + PAYLOAD_LOWEST_AT);
  if (Fields->LowestSupportedVersion > Fields->FwVersion) {
    return Ucs2 (u"a lowest supported version above its own version");
  }

  return NULL;
}

CONST CHAR16 *
EcCapsulePayloadRefusal (
  IN CONST VOID  *Payload,
  IN UINTN       Size
  )
{
  EC_IMAGE_PLAN  Plan;

  //
  // Morvane would flash the inner capsule's headers and signature onto the
  // EC as they are, where the update driver's FmpDxe unwraps it.
  //
  if (EcCapsuleLooksLikeOne (Payload, Size)) {
    return Ucs2 (u"a capsule inside a capsule");
  }

  //
  // The flash would leave the tail out and the version would still be
  // recorded. Above 16 MiB the run refuses it whole, with a line of its own.
  //
  EcPlanImage (Size, &Plan);
  if (!Plan.TooLarge && (Plan.LeftOutBytes > 0)) {
    return Ucs2 (u"an EC image whose last block holds under 8 KiB, which the flash would leave out");
  }

  return NULL;
}

EFI_STATUS
EcCapsuleParse (
  IN  CONST VOID    *File,
  IN  UINTN         Size,
  OUT EC_CAPSULE    *Capsule,
  OUT CONST CHAR16  **Reason
  )
{
  CONST UINT8  *Item;
  UINTN        ItemSize;

  if ((File == NULL) || (Capsule == NULL) || (Reason == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  ZeroMem (Capsule, sizeof (*Capsule));
  *Reason = FindImageItem (static_cast<CONST UINT8 *>(File), Size, &Item, &ItemSize);
  if (*Reason == NULL) {
    *Reason = ReadItemHeader (Item, ItemSize, Capsule);
  }

  if (*Reason == NULL) {
    *Reason = ReadSignedImage (Capsule);
  }

  if (*Reason == NULL) {
    *Reason = EcCapsulePayloadRefusal (Capsule->Payload, Capsule->PayloadSize);
  }

  if (*Reason != NULL) {
    ZeroMem (Capsule, sizeof (*Capsule));
    return EFI_UNSUPPORTED;
  }

  return EFI_SUCCESS;
}
