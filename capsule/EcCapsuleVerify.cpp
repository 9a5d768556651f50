/** @file
  A capsule's signature and the names of the certificates involved, with
  EDK II's own code only: FmpAuthenticationLib (PKCS7) and BaseCryptLib over
  its OpenSSL.

**/

extern "C" {
#include <Uefi.h>
#include <Protocol/FirmwareManagement.h>
#include <Library/BaseCryptLib.h>
#include <Library/FmpAuthenticationLib.h>
}

#include "EcCapsule.h"

//
// Longest common name read from a certificate; longer ones are cut.
//
#define CN_BYTES  256

EFI_STATUS
EcCapsuleVerify (
  IN CONST EC_CAPSULE  *Capsule,
  IN CONST UINT8       *TrustedCert,
  IN UINTN             TrustedCertSize
  )
{
  RETURN_STATUS  Status;

  if ((Capsule == NULL) || (Capsule->Image == NULL) || (TrustedCert == NULL) || (TrustedCertSize == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The library only reads the image; its parameter is not declared const.
  //
  Status = AuthenticateFmpImage (
             reinterpret_cast<EFI_FIRMWARE_IMAGE_AUTHENTICATION *>(const_cast<UINT8 *>(Capsule->Image)),
             Capsule->ImageSize,
             TrustedCert,
             TrustedCertSize
             );
  switch (Status) {
    case RETURN_SUCCESS:            return EFI_SUCCESS;
    case RETURN_SECURITY_VIOLATION: return EFI_SECURITY_VIOLATION;
    case RETURN_OUT_OF_RESOURCES:   return EFI_OUT_OF_RESOURCES;
    default:                        return EFI_INVALID_PARAMETER;
  }
}

/**
  Write UTF-8 text as printable ASCII: one '?' for each character outside
  it, cut to fit.
**/
STATIC
VOID
PrintableName (
  IN  CONST CHAR8  *Utf8,
  OUT CHAR16       *Name,
  IN  UINTN        NameSize
  )
{
  UINTN  Length;
  UINT8  Byte;

  for (Length = 0; *Utf8 != 0 && Length + 1 < NameSize; Utf8++) {
    Byte = static_cast<UINT8>(*Utf8);
    if ((Byte >= 0x20) && (Byte < 0x7F)) {
      Name[Length++] = Byte;
    } else if ((Byte & 0xC0) != 0x80) {
      Name[Length++] = u'?';
    }
  }

  Name[Length] = 0;
}

EFI_STATUS
EcCapsuleCertName (
  IN  CONST UINT8  *Cert,
  IN  UINTN        CertSize,
  OUT CHAR16       *Name,
  IN  UINTN        NameSize
  )
{
  CHAR8          CommonName[CN_BYTES];
  UINTN          CommonNameSize;
  RETURN_STATUS  Status;

  if ((Cert == NULL) || (CertSize == 0) || (Name == NULL) || (NameSize == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  Name[0]        = 0;
  CommonNameSize = sizeof (CommonName);
  Status         = X509GetCommonName (Cert, CertSize, CommonName, &CommonNameSize);
  if (Status == RETURN_NOT_FOUND) {
    return EFI_NOT_FOUND;
  }

  if (Status != RETURN_SUCCESS) {
    return EFI_INVALID_PARAMETER;
  }

  PrintableName (CommonName, Name, NameSize);
  return EFI_SUCCESS;
}

EFI_STATUS
EcCapsuleSignerName (
  IN  CONST EC_CAPSULE  *Capsule,
  OUT CHAR16            *Name,
  IN  UINTN             NameSize
  )
{
  UINT8       *Stack;
  UINTN       StackSize;
  UINT8       *Signer;
  UINTN       SignerSize;
  EFI_STATUS  Status;

  if ((Capsule == NULL) || (Capsule->Signature == NULL) || (Name == NULL) || (NameSize == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  Name[0] = 0;
  Stack   = NULL;
  Signer  = NULL;
  if (!Pkcs7GetSigners (Capsule->Signature, Capsule->SignatureSize, &Stack, &StackSize, &Signer, &SignerSize)) {
    return EFI_NOT_FOUND;
  }

  Status = EcCapsuleCertName (Signer, SignerSize, Name, NameSize);
  Pkcs7FreeSigners (Stack);
  Pkcs7FreeSigners (Signer);
  return (Status == EFI_SUCCESS) ? EFI_SUCCESS : EFI_NOT_FOUND;
}
