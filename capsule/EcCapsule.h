/** @file
  Signed EC images: the firmware-management (FMP) capsule that EDK II's
  GenerateCapsule.py writes, its signature, and the machine identities
  (computer hardware IDs) a capsule names its machines by.

  A capsule Morvane takes holds exactly one image item:

    EFI_CAPSULE_HEADER                      GUID = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID
    EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER  version 1, no drivers, one item, its offset
    EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER
                                            UpdateImageTypeId = a hardware ID of the machines
    EFI_FIRMWARE_IMAGE_AUTHENTICATION       monotonic count, PKCS7 signature
    FMP payload header ("MSS1")             firmware version, lowest supported version
    the EC image

  The signature covers everything after the authentication block to the end
  of the item, followed by the monotonic count (8 bytes, little-endian).

  Everything here reads bytes from outside (a file, the SMBIOS table): every
  length and offset is checked against the buffer before it is used, and
  nothing is read outside it.

**/

#ifndef MORVANE_EC_CAPSULE_H_
#define MORVANE_EC_CAPSULE_H_

extern "C" {
#include <Uefi.h>
}

//
// Room for a certificate's common name as text, terminator included.
//
#define EC_CAPSULE_NAME_CHARS  65

//
// The most a capsule may add to its EC image (headers and signature): a
// capsule of a whole 16 MiB EC flash is a file this much larger.
//
#define EC_CAPSULE_HEADROOM  0x10000

//
// What a well-formed capsule holds; every pointer points into the file
// it was parsed from.
//
typedef struct {
  EFI_GUID       ImageTypeId;              ///< UpdateImageTypeId: the machines it is for
  UINT32         FwVersion;                ///< from the payload header
  UINT32         LowestSupportedVersion;   ///< from the payload header
  UINT64         MonotonicCount;           ///< signed with the rest
  CONST UINT8    *Payload;                 ///< the EC image
  UINTN          PayloadSize;              ///< at least 1
  CONST UINT8    *Signed;                  ///< what the signature covers (before the monotonic count)
  UINTN          SignedSize;
  CONST UINT8    *Signature;               ///< the PKCS7 signed data (DER)
  UINTN          SignatureSize;
  CONST UINT8    *Image;                   ///< the image item's data: EFI_FIRMWARE_IMAGE_AUTHENTICATION onwards
  UINTN          ImageSize;
} EC_CAPSULE;

/**
  Tell a capsule from a raw EC image cheaply: a capsule starts with the
  firmware-management capsule GUID. Says nothing about the rest.

  @param[in] File   The file's bytes.
  @param[in] Size   How many.

  @retval TRUE    The file starts like a capsule (EcCapsuleParse decides).
  @retval FALSE   It cannot be one: treat it as a raw image.
**/
BOOLEAN
EcCapsuleLooksLikeOne (
  IN CONST VOID  *File,
  IN UINTN       Size
  );

/**
  Check a capsule's layout and find what it holds. Nothing is verified
  cryptographically here (see EcCapsuleVerify).

  @param[in]  File      The whole file.
  @param[in]  Size      Its size in bytes.
  @param[out] Capsule   What it holds (pointers into File); zeroed on failure.
  @param[out] Reason    On failure, why, as a phrase to put after the file's
                        name ("more than one image", "not a capsule", ...);
                        NULL on success. Static text.

  @retval EFI_SUCCESS             A capsule Morvane takes.
  @retval EFI_INVALID_PARAMETER   File or an output is NULL.
  @retval EFI_UNSUPPORTED         Not a capsule, or not one Morvane takes (Reason).
**/
EFI_STATUS
EcCapsuleParse (
  IN  CONST VOID    *File,
  IN  UINTN         Size,
  OUT EC_CAPSULE    *Capsule,
  OUT CONST CHAR16  **Reason
  );

///
/// The FMP payload header (FmpPayloadHeaderLibV1, "MSS1") as read.
///
typedef struct {
  UINT32    HeaderSize;               ///< at least EC_PAYLOAD_HEADER_SIZE
  UINT32    FwVersion;
  UINT32    LowestSupportedVersion;   ///< at most FwVersion
} EC_PAYLOAD_HEADER;

//
// The payload header as GenerateCapsule.py writes it.
//
#define EC_PAYLOAD_HEADER_SIZE  16

/**
  Read an FMP payload header: its signature, its size (something must
  follow it within Size), and versions whose lowest is not above the
  version. EcCapsuleParse reads a capsule's through it; the EC update
  driver reads the one FmpDxe leaves before the payload it hands over.

  @param[in]  Header   The header's first byte.
  @param[in]  Size     Bytes from Header to the end of what it heads.
  @param[out] Fields   What it says; meaningful only when NULL is returned.

  @return NULL for a header Morvane takes, else why not, as a phrase to put
          after the file's name (static text).
**/
CONST CHAR16 *
EcCapsuleReadPayloadHeader (
  IN  CONST VOID         *Header,
  IN  UINTN              Size,
  OUT EC_PAYLOAD_HEADER  *Fields
  );

/**
  Tell whether an EC image may be a capsule's payload. What a capsule
  carries is flashed whole, so an image that is itself a capsule (Morvane
  would flash its headers too), or one whose last block holds under 8 KiB
  past block 0 (the flash would leave it out, EcImagePlan.h), is refused.
  EcCapsuleParse holds every payload to this; make capsule the image it is
  about to wrap.

  @param[in] Payload   The image.
  @param[in] Size      Its size in bytes.

  @return NULL when a capsule may carry it, or why not, as EcCapsuleParse's
          Reason gives it. Static text.
**/
CONST CHAR16 *
EcCapsulePayloadRefusal (
  IN CONST VOID  *Payload,
  IN UINTN       Size
  );

/**
  Verify the capsule's signature against a trusted certificate with EDK II's
  FmpAuthenticationLib (PKCS7 over BaseCryptLib): the signer's chain must
  lead to TrustedCert, which may be a root or an intermediate.

  @param[in] Capsule           As EcCapsuleParse gave it.
  @param[in] TrustedCert       The trusted certificate, DER.
  @param[in] TrustedCertSize   Its size in bytes.

  @retval EFI_SUCCESS              The signature is good and TrustedCert vouches for it.
  @retval EFI_SECURITY_VIOLATION   It is not, or another certificate signed it.
  @retval EFI_INVALID_PARAMETER    A NULL or empty argument, or a malformed signature block.
  @retval EFI_OUT_OF_RESOURCES     No memory for the check.
**/
EFI_STATUS
EcCapsuleVerify (
  IN CONST EC_CAPSULE  *Capsule,
  IN CONST UINT8       *TrustedCert,
  IN UINTN             TrustedCertSize
  );

/**
  A certificate's subject common name, as printable ASCII for messages
  (other characters as '?', cut to fit).

  @param[in]  Cert       The certificate, DER.
  @param[in]  CertSize   Its size in bytes.
  @param[out] Name       Receives the name.
  @param[in]  NameSize   Its size in characters; EC_CAPSULE_NAME_CHARS is enough.

  @retval EFI_SUCCESS             Name holds the common name.
  @retval EFI_NOT_FOUND           The certificate has none.
  @retval EFI_INVALID_PARAMETER   Not a certificate, or a NULL or empty argument.
**/
EFI_STATUS
EcCapsuleCertName (
  IN  CONST UINT8  *Cert,
  IN  UINTN        CertSize,
  OUT CHAR16       *Name,
  IN  UINTN        NameSize
  );

/**
  The common name of the certificate that signed the capsule, as
  EcCapsuleCertName writes it. Before EcCapsuleVerify succeeded this is only
  what the capsule claims.

  @param[in]  Capsule    As EcCapsuleParse gave it.
  @param[out] Name       Receives the name.
  @param[in]  NameSize   Its size in characters.

  @retval EFI_SUCCESS             Name holds the signer's common name.
  @retval EFI_NOT_FOUND           The signature names no signer, or the signer no common name.
  @retval EFI_INVALID_PARAMETER   A NULL or empty argument.
**/
EFI_STATUS
EcCapsuleSignerName (
  IN  CONST EC_CAPSULE  *Capsule,
  OUT CHAR16            *Name,
  IN  UINTN             NameSize
  );

//
// The SMBIOS fields the hardware IDs are made of.
//
typedef enum {
  EcHwIdManufacturer,
  EcHwIdFamily,
  EcHwIdProductName,
  EcHwIdProductSku,
  EcHwIdBaseboardManufacturer,
  EcHwIdBaseboardProduct,
  EcHwIdBiosVendor,
  EcHwIdBiosVersion,
  EcHwIdBiosMajorRelease,
  EcHwIdBiosMinorRelease,
  EcHwIdEnclosureKind,
  EC_HWID_FIELD_COUNT
} EC_HWID_FIELD;

//
// Microsoft's HardwareID-0 to HardwareID-14.
//
#define EC_HWID_COUNT  15

//
// HardwareID-0 to -9 are made of the product name or SKU and may name one
// model; from HardwareID-10 on they stand for a family, an enclosure kind,
// a baseboard or the maker: never one model.
//
#define EC_HWID_MODEL_IDS  10

//
// One field's text: Length bytes at Text, which need not end in a zero.
// Text NULL means the machine does not give the field (an empty text is
// a field it gives empty).
//
typedef struct {
  CONST CHAR8    *Text;
  UINTN          Length;
} EC_HWID_TEXT;

typedef struct {
  EC_HWID_TEXT    Field[EC_HWID_FIELD_COUNT];
  CHAR8           Number[EC_HWID_FIELD_COUNT][3];   ///< room for the numeric fields' text
} EC_HWID_FIELDS;

typedef struct {
  BOOLEAN     Present[EC_HWID_COUNT];   ///< FALSE: a field it needs is missing or not UTF-8
  EFI_GUID    Id[EC_HWID_COUNT];        ///< in the byte order a capsule's UpdateImageTypeId has
  UINT32      Blank;                    ///< 1 << EC_HWID_FIELD for each field given that holds only white space
} EC_HWIDS;

/**
  Read the hardware ID fields from an SMBIOS structure table (types 0, 1, 2
  and 3, the first of each), converted as the reference implementation does
  it: strings without leading spaces and trailing white space, then without
  leading '0' characters; the BIOS releases as two lower-case hex digits;
  the enclosure type byte in lower-case hex without leading zeros. A
  string the structure names but does not hold (number 0, or past its
  strings) is empty, as fwupd has it on Linux; a field past the end of its
  structure, or of a structure the table does not have, is missing.

  @param[in]  Table    The structure table (not the entry point).
  @param[in]  Length   Its length in bytes; nothing past it is read.
  @param[out] Fields   The fields; their texts point into Table or Fields.
**/
VOID
EcHwIdFieldsFromSmbios (
  IN  CONST UINT8     *Table,
  IN  UINTN           Length,
  OUT EC_HWID_FIELDS  *Fields
  );

/**
  Compute the hardware IDs from the fields as given: for each ID, the
  UTF-16LE of its fields joined by '&', hashed with SHA-1 after the
  namespace 70ffd812-4c7f-4c7d-0000-000000000000 into a name-based UUID. An
  ID is absent when one of its fields is missing or not valid UTF-8, or
  when its text is empty. Ids->Blank notes the fields given that hold
  only white space, for EcHwIdNamesModel.

  @param[in]  Fields   The fields.
  @param[out] Ids      The IDs.

  @retval EFI_SUCCESS        Ids is filled.
  @retval EFI_DEVICE_ERROR   The hash failed.
**/
EFI_STATUS
EcHwIdsCompute (
  IN  CONST EC_HWID_FIELDS  *Fields,
  OUT EC_HWIDS              *Ids
  );

/**
  The fields an ID is made of, for showing it.

  @param[in] Id   The ID's number, 0 to EC_HWID_COUNT - 1.

  @return One bit per field, 1 << EC_HWID_FIELD; 0 for no such ID.
**/
UINT32
EcHwIdFieldSet (
  IN UINTN  Id
  );

/**
  Whether one of the machine's hardware IDs names one model, so that a
  capsule may name the machine by it. It does when all of these hold:
  - it is one of HardwareID-0 to -9 (EC_HWID_MODEL_IDS);
  - the machine has it (EC_HWIDS.Present);
  - the field in it that tells one model from another holds more than
    white space: the product name, or in HardwareID-6 and -7, which have
    none, the SKU. Without it the ID is the same for every model of the
    maker that leaves the field empty (HardwareID-7 of a machine without
    a SKU is the maker and an empty text);
  - it is not also one of the machine's HardwareID-10 to -14 (a SKU that
    holds the family's placeholder makes HardwareID-7 equal to -11).

  @param[in] Ids     The machine's IDs, as EcHwIdsCompute gave them.
  @param[in] Index   The ID's number, 0 to EC_HWID_COUNT - 1.

  @retval TRUE    A capsule for this ID is for this machine's model alone.
  @retval FALSE   It is not (or there is no such ID).
**/
BOOLEAN
EcHwIdNamesModel (
  IN CONST EC_HWIDS  *Ids,
  IN UINTN           Index
  );

/**
  Whether a capsule's image type (or any GUID said to be a hardware ID)
  names this machine: the GUID must equal one of the machine's IDs that
  name one model (EcHwIdNamesModel). The run's machine check, the
  catalogue's choice and the update path all ask this, and only this.

  @param[in]  Ids     The machine's IDs, as EcHwIdsCompute gave them.
  @param[in]  Guid    A capsule's UpdateImageTypeId.
  @param[out] Which   Optional: on TRUE, the number of the first such ID
                      (0 to EC_HWID_MODEL_IDS - 1); untouched on FALSE.

  @retval TRUE    The GUID names this machine's model.
  @retval FALSE   It names another machine, one of this machine's IDs that
                  does not name one model, or nothing this machine has.
**/
BOOLEAN
EcHwIdsMatch (
  IN  CONST EC_HWIDS  *Ids,
  IN  CONST EFI_GUID  *Guid,
  OUT UINTN           *Which OPTIONAL
  );


#endif
