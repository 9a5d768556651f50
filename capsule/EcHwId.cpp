/** @file
  Microsoft's computer hardware IDs (HardwareID-0 to HardwareID-14): for
  each, a set of SMBIOS fields joined by '&', as UTF-16LE, hashed with
  SHA-1 after a fixed namespace into a name-based (version 5) UUID.

  The text is converted from UTF-8 as the reference implementation's
  converter does: a sequence that is not UTF-8 (a stray byte of another
  code page, an overlong form, a surrogate, a value above U+10FFFF, a cut
  sequence) makes the ID absent rather than guessed at.

  The text is fed to SHA-1 in small pieces: no buffer as long as the fields.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseCryptLib.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcCapsule.h"

//
// The IDs from HardwareID-10 on stand for a whole family or maker: too many
// machines for one EC image.
//

#define WITH(Field)  (1u << EcHwId##Field)

//
// The fields of each ID. The IDs join their fields in the order of
// EC_HWID_FIELD, so a set of bits says it all.
//
STATIC CONST UINT16  mIdFields[EC_HWID_COUNT] = {
  WITH (Manufacturer) | WITH (Family) | WITH (ProductName) | WITH (ProductSku) |
  WITH (BiosVendor) | WITH (BiosVersion) | WITH (BiosMajorRelease) | WITH (BiosMinorRelease),
  WITH (Manufacturer) | WITH (Family) | WITH (ProductName) |
  WITH (BiosVendor) | WITH (BiosVersion) | WITH (BiosMajorRelease) | WITH (BiosMinorRelease),
  WITH (Manufacturer) | WITH (ProductName) |
  WITH (BiosVendor) | WITH (BiosVersion) | WITH (BiosMajorRelease) | WITH (BiosMinorRelease),
  WITH (Manufacturer) | WITH (Family) | WITH (ProductName) | WITH (ProductSku) |
  WITH (BaseboardManufacturer) | WITH (BaseboardProduct),
  WITH (Manufacturer) | WITH (Family) | WITH (ProductName) | WITH (ProductSku),
  WITH (Manufacturer) | WITH (Family) | WITH (ProductName),
  WITH (Manufacturer) | WITH (ProductSku) | WITH (BaseboardManufacturer) | WITH (BaseboardProduct),
  WITH (Manufacturer) | WITH (ProductSku),
  WITH (Manufacturer) | WITH (ProductName) | WITH (BaseboardManufacturer) | WITH (BaseboardProduct),
  WITH (Manufacturer) | WITH (ProductName),
  WITH (Manufacturer) | WITH (Family) | WITH (BaseboardManufacturer) | WITH (BaseboardProduct),
  WITH (Manufacturer) | WITH (Family),
  WITH (Manufacturer) | WITH (EnclosureKind),
  WITH (Manufacturer) | WITH (BaseboardManufacturer) | WITH (BaseboardProduct),
  WITH (Manufacturer),
};

STATIC CONST UINT8  mNamespace[16] = {
  0x70, 0xff, 0xd8, 0x12, 0x4c, 0x7f, 0x4c, 0x7d, 0, 0, 0, 0, 0, 0, 0, 0
};

//
// Room for the SHA-1 context; BaseCryptLib says how much it needs.
//
#define SHA1_CONTEXT_BYTES  512

//
// UTF-16 code units fed to SHA-1 at once.
//
#define PIECE_UNITS  32

/**
  Decode one character of UTF-8.

  @param[in]     Text     The text.
  @param[in]     Length   Its length in bytes.
  @param[in,out] Index    Where the character starts; moved past it.
  @param[out]    Char     The character.

  @retval FALSE   Not UTF-8 there.
**/
STATIC
BOOLEAN
NextChar (
  IN     CONST CHAR8  *Text,
  IN     UINTN        Length,
  IN OUT UINTN        *Index,
  OUT    UINT32       *Char
  )
{
  UINT8   Lead;
  UINTN   Count;
  UINT32  Lowest;
  UINTN   Follow;
  UINT8   Byte;

  Lead = static_cast<UINT8>(Text[*Index]);
  if (Lead < 0x80) {
    *Char = Lead;
    (*Index)++;
    return TRUE;
  }

  if ((Lead & 0xE0) == 0xC0) {
    Count = 1;
    Lowest = 0x80;
    *Char  = Lead & 0x1F;
  } else if ((Lead & 0xF0) == 0xE0) {
    Count = 2;
    Lowest = 0x800;
    *Char  = Lead & 0x0F;
  } else if ((Lead & 0xF8) == 0xF0) {
    Count = 3;
    Lowest = 0x10000;
    *Char  = Lead & 0x07;
  } else {
    return FALSE;
  }

  if (Count > Length - *Index - 1) {
    return FALSE;
  }

  for (Follow = 1; Follow <= Count; Follow++) {
    Byte = static_cast<UINT8>(Text[*Index + Follow]);
    if ((Byte & 0xC0) != 0x80) {
      return FALSE;
    }

    *Char = (*Char << 6) | (Byte & 0x3F);
  }

  *Index += Count + 1;
  return *Char >= Lowest && *Char <= 0x10FFFF && (*Char < 0xD800 || *Char > 0xDFFF);
}

/**
  Check that a field is UTF-8 throughout.
**/
STATIC
BOOLEAN
IsUtf8 (
  IN CONST EC_HWID_TEXT  *Field
  )
{
  UINTN   Index;
  UINT32  Char;

  for (Index = 0; Index < Field->Length; ) {
    if (!NextChar (Field->Text, Field->Length, &Index, &Char)) {
      return FALSE;
    }
  }

  return TRUE;
}

/**
  Feed a field, known to be UTF-8, to SHA-1 as UTF-16LE.
**/
STATIC
BOOLEAN
HashField (
  IN OUT VOID                *Context,
  IN     CONST EC_HWID_TEXT  *Field
  )
{
  UINT8   Piece[PIECE_UNITS * 2];
  UINTN   Used;
  UINTN   Index;
  UINT32  Char;
  UINT16  Units[2];
  UINTN   UnitCount;
  UINTN   Unit;

  for (Index = 0, Used = 0; Index < Field->Length; ) {
    if (!NextChar (Field->Text, Field->Length, &Index, &Char)) {
      return FALSE;
    }

    if (Char < 0x10000) {
      Units[0]  = static_cast<UINT16>(Char);
      UnitCount = 1;
    } else {
      Units[0]  = static_cast<UINT16>(0xD800 + ((Char - 0x10000) >> 10));
      Units[1]  = static_cast<UINT16>(0xDC00 + ((Char - 0x10000) & 0x3FF));
      UnitCount = 2;
    }

    for (Unit = 0; Unit < UnitCount; Unit++) {
      Piece[Used++] = static_cast<UINT8>(Units[Unit]);
      Piece[Used++] = static_cast<UINT8>(Units[Unit] >> 8);
    }

    if (Used + 4 > sizeof (Piece)) {
      if (!Sha1Update (Context, Piece, Used)) {
        return FALSE;
      }

      Used = 0;
    }
  }

  return Used == 0 || Sha1Update (Context, Piece, Used);
}

/**
  Compute one ID, when its fields allow.

  @param[in]  Fields    The fields.
  @param[in]  Set       Its fields, as bits.
  @param[out] Present   Whether it exists.
  @param[out] Id        The ID.

  @retval FALSE   The hash failed.
**/
STATIC
BOOLEAN
ComputeId (
  IN  CONST EC_HWID_FIELDS  *Fields,
  IN  UINT16                Set,
  OUT BOOLEAN               *Present,
  OUT EFI_GUID              *Id
  )
{
  STATIC CONST UINT8  Separator[2] = { '&', 0 };
  UINT64              Context[SHA1_CONTEXT_BYTES / sizeof (UINT64)];
  UINT8               Hash[SHA1_DIGEST_SIZE];
  UINTN               Field;
  UINTN               Joined;
  BOOLEAN             First;

  *Present = FALSE;
  for (Field = 0, Joined = 0; Field < EC_HWID_FIELD_COUNT; Field++) {
    if ((Set & (1u << Field)) == 0) {
      continue;
    }

    if ((Fields->Field[Field].Text == NULL) || !IsUtf8 (&Fields->Field[Field])) {
      return TRUE;
    }

    Joined += Fields->Field[Field].Length + 1;
  }

  //
  // Joined counts a '&' after each field. Only an ID of one field can be
  // empty; the reference implementation makes no ID of an empty text.
  //
  if (Joined <= 1) {
    return TRUE;
  }

  if ((Sha1GetContextSize () > sizeof (Context)) || !Sha1Init (Context) ||
      !Sha1Update (Context, mNamespace, sizeof (mNamespace)))
  {
    return FALSE;
  }

  for (Field = 0, First = TRUE; Field < EC_HWID_FIELD_COUNT; Field++) {
    if ((Set & (1u << Field)) == 0) {
      continue;
    }

    if ((!First && !Sha1Update (Context, Separator, sizeof (Separator))) || !HashField (Context, &Fields->Field[Field])) {
      return FALSE;
    }

    First = FALSE;
  }

  if (!Sha1Final (Context, Hash)) {
    return FALSE;
  }

  //
  // The hash's first 16 bytes in the UUID's written order, version 5 and
  // the RFC 4122 variant set; EFI_GUID keeps its first three fields as
  // numbers.
  //
  Id->Data1 = (static_cast<UINT32>(Hash[0]) << 24) | (static_cast<UINT32>(Hash[1]) << 16) |
              (static_cast<UINT32>(Hash[2]) << 8) | Hash[3];
  Id->Data2 = static_cast<UINT16>((Hash[4] << 8) | Hash[5]);
  Id->Data3 = static_cast<UINT16>((((Hash[6] & 0x0F) | 0x50) << 8) | Hash[7]);
  CopyMem (Id->Data4, Hash + 8, sizeof (Id->Data4));
  Id->Data4[0] = static_cast<UINT8>((Id->Data4[0] & 0x3F) | 0x80);
  *Present     = TRUE;
  return TRUE;
}

/**
  Whether a field holds nothing but white space (any of the six ASCII
  ones: the SMBIOS reader leaves some in, and text given as fields may
  hold any).
**/
STATIC
BOOLEAN
IsBlank (
  IN CONST EC_HWID_TEXT  *Field
  )
{
  UINTN  Index;
  CHAR8  Char;

  for (Index = 0; Index < Field->Length; Index++) {
    Char = Field->Text[Index];
    if ((Char != ' ') && ((Char < '\t') || (Char > '\r'))) {
      return FALSE;
    }
  }

  return TRUE;
}

EFI_STATUS
EcHwIdsCompute (
  IN  CONST EC_HWID_FIELDS  *Fields,
  OUT EC_HWIDS              *Ids
  )
{
  UINTN  Index;

  ZeroMem (Ids, sizeof (*Ids));
  for (Index = 0; Index < EC_HWID_COUNT; Index++) {
    if (!ComputeId (Fields, mIdFields[Index], &Ids->Present[Index], &Ids->Id[Index])) {
      ZeroMem (Ids, sizeof (*Ids));
      return EFI_DEVICE_ERROR;
    }
  }

  for (Index = 0; Index < EC_HWID_FIELD_COUNT; Index++) {
    if ((Fields->Field[Index].Text != NULL) && IsBlank (&Fields->Field[Index])) {
      Ids->Blank |= 1u << Index;
    }
  }

  return EFI_SUCCESS;
}

UINT32
EcHwIdFieldSet (
  IN UINTN  Id
  )
{
  return (Id < EC_HWID_COUNT) ? mIdFields[Id] : 0;
}

BOOLEAN
EcHwIdNamesModel (
  IN CONST EC_HWIDS  *Ids,
  IN UINTN           Index
  )
{
  UINT32  Model;
  UINTN   Wide;

  if ((Index >= EC_HWID_MODEL_IDS) || !Ids->Present[Index]) {
    return FALSE;
  }

  //
  // The field that tells the models apart: the product name where the ID
  // has one, else the SKU.
  //
  Model = mIdFields[Index] & WITH (ProductName);
  if (Model == 0) {
    Model = mIdFields[Index] & WITH (ProductSku);
  }

  if ((Ids->Blank & Model) != 0) {
    return FALSE;
  }

  //
  // Fields that repeat the family's or the maker's text make an ID equal
  // to one that stands for all of them.
  //
  for (Wide = EC_HWID_MODEL_IDS; Wide < EC_HWID_COUNT; Wide++) {
    if (Ids->Present[Wide] && CompareGuid (&Ids->Id[Wide], &Ids->Id[Index])) {
      return FALSE;
    }
  }

  return TRUE;
}

BOOLEAN
EcHwIdsMatch (
  IN  CONST EC_HWIDS  *Ids,
  IN  CONST EFI_GUID  *Guid,
  OUT UINTN           *Which OPTIONAL
  )
{
  UINTN  Index;

  for (Index = 0; Index < EC_HWID_COUNT; Index++) {
    if (EcHwIdNamesModel (Ids, Index) && CompareGuid (&Ids->Id[Index], Guid)) {
      if (Which != NULL) {
        *Which = Index;
      }

      return TRUE;
    }
  }

  return FALSE;
}

