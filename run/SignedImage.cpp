/** @file
  Signed images: what the run checks of an image before any device, once
  the file is in memory, whichever front end started it.

  Secure Boot vouches for Morvane.efi, and so for the certificate built into
  it; that certificate vouches for the capsule. A Morvane with a built-in
  certificate therefore flashes nothing but capsules signed under it. One
  without a certificate flashes raw images as it always did, and checks a
  capsule's layout, machine and version, but not who signed it, and says
  so. Either way a capsule is flashed only on the machines whose hardware
  ID it names, never below the lowest version the machine's version record
  allows, and what reaches the EC is its payload.

  The capsule comes from a stick or a depot anyone may have written: it is
  taken apart only by the capsule library, which checks every length
  against the file, and nothing from it is shown but through that library.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
}

#include "EcCapsule.h"
#include "EcVersionRecord.h"
#include "RunInternal.h"
#include "Ucs2.h"

/**
  The image as the operator named it, for messages.

  @param[in] Options   The options.

  @return The name as typed (or as MORVANE.CFG gives it), else the path.
**/
STATIC
CONST CHAR16 *
ImageName (
  IN CONST MORVANE_OPTIONS  *Options
  )
{
  if (Options->ImageName != NULL) {
    return Options->ImageName;
  }

  return (mRunRecord.Image != NULL) ? mRunRecord.Image : Ucs2 (u"-");
}

/**
  The common name of the built-in certificate, for messages.

  @param[in]  Cert       The certificate.
  @param[in]  CertSize   Its size.
  @param[out] Subject    Receives the name.
  @param[in]  Size       Its size in characters.
**/
STATIC
VOID
TrustedName (
  IN  CONST UINT8  *Cert,
  IN  UINTN        CertSize,
  OUT CHAR16       *Subject,
  IN  UINTN        Size
  )
{
  if (EFI_ERROR (EcCapsuleCertName (Cert, CertSize, Subject, Size)) || (Subject[0] == 0)) {
    UnicodeSPrint (Subject, Size * sizeof (CHAR16), Ucs2 (u"the certificate built into Morvane"));
  }
}

/**
  Check that the capsule names this machine by one of its hardware IDs.

  @param[in] Options   The options.
  @param[in] Capsule   The capsule.

  @retval EFI_SUCCESS   It does.
  @return               The status the run ended with.
**/
STATIC
EFI_STATUS
CheckMachine (
  IN CONST MORVANE_OPTIONS  *Options,
  IN CONST EC_CAPSULE       *Capsule
  )
{
  EC_HWID_FIELDS  Fields;
  EC_HWIDS        Ids;
  EFI_STATUS      Status;
  CHAR16          Product[PRODUCT_CHARS];

  Status = ReadMachineHwIds (&Fields, &Ids);
  if (EFI_ERROR (Status)) {
    return EndRun (Status, Ucs2 (u"The hardware IDs of this machine could not be computed (%r). Nothing was flashed.\r\n"), Status);
  }

  if (EcHwIdNamesMachine (&Ids, &Capsule->ImageTypeId)) {
    return EFI_SUCCESS;
  }

  ReadMachineProduct (Product, ARRAY_SIZE (Product));
  return EndRun (
           EFI_UNSUPPORTED,
           Ucs2 (u"This machine (%s) is not the one %s is for ({%g}). Nothing was flashed.\r\n"),
           Product,
           ImageName (Options),
           &Capsule->ImageTypeId
           );
}

/**
  Check the capsule's version against the machine's version record, and
  note the lowest supported version the record is to keep after a flash.
  Only a flash is held to it: a verify changes nothing.

  @param[in] Options   The options.
  @param[in] Capsule   The capsule.

  @retval EFI_SUCCESS   The machine takes this version.
  @return               The status the run ended with.
**/
STATIC
EFI_STATUS
CheckVersion (
  IN CONST MORVANE_OPTIONS  *Options,
  IN CONST EC_CAPSULE       *Capsule
  )
{
  MORVANE_EC_VERSION_RECORD  Record;
  EFI_STATUS                 Status;

  mRunRecord.LowestSupported = Capsule->LowestSupportedVersion;
  if (Options->Mode != ModeFlash) {
    return EFI_SUCCESS;
  }

  //
  // No record (a machine never flashed from a capsule) takes any version.
  //
  Status = EcVersionRecordRead (&Record);
  if (Status == EFI_NOT_FOUND) {
    return EFI_SUCCESS;
  }

  //
  // A record that cannot be read could hide the version it forbids.
  //
  if (EFI_ERROR (Status)) {
    return EndRun (Status, Ucs2 (u"The EC version record could not be read (%r). Nothing was flashed.\r\n"), Status);
  }

  if (Capsule->FwVersion < Record.LowestSupported) {
    return EndRun (
             EFI_INCOMPATIBLE_VERSION,
             Ucs2 (u"%s is version 0x%08X; this machine takes 0x%08X or later. Nothing was flashed.\r\n"),
             ImageName (Options),
             Capsule->FwVersion,
             Record.LowestSupported
             );
  }

  mRunRecord.LowestSupported = MAX (Record.LowestSupported, Capsule->LowestSupportedVersion);
  return EFI_SUCCESS;
}

/**
  Check the signature against the built-in certificate and note its signer.

  @param[in] Options    The options.
  @param[in] Capsule    The capsule.
  @param[in] Cert       The built-in certificate.
  @param[in] CertSize   Its size.
  @param[in] Subject    Its common name.

  @retval EFI_SUCCESS   The signature holds.
  @return               The status the run ended with.
**/
STATIC
EFI_STATUS
CheckSignature (
  IN CONST MORVANE_OPTIONS  *Options,
  IN CONST EC_CAPSULE       *Capsule,
  IN CONST UINT8            *Cert,
  IN UINTN                  CertSize,
  IN CONST CHAR16           *Subject
  )
{
  EFI_STATUS  Status;

  Status = EcCapsuleVerify (Capsule, Cert, CertSize);
  if (Status == EFI_OUT_OF_RESOURCES) {
    return EndRun (Status, Ucs2 (u"The signature of %s could not be checked (%r). Nothing was flashed.\r\n"), ImageName (Options), Status);
  }

  if (EFI_ERROR (Status)) {
    return EndRun (
             EFI_SECURITY_VIOLATION,
             Ucs2 (u"The signature of %s does not verify against %s. Nothing was flashed.\r\n"),
             ImageName (Options),
             Subject
             );
  }

  mRunRecord.Verified = TRUE;
  if (EFI_ERROR (EcCapsuleSignerName (Capsule, mRunRecord.Signer, ARRAY_SIZE (mRunRecord.Signer)))) {
    UnicodeSPrint (mRunRecord.Signer, sizeof (mRunRecord.Signer), Ucs2 (u"?"));
  }

  return EFI_SUCCESS;
}

EFI_STATUS
CheckImage (
  IN CONST MORVANE_OPTIONS  *Options
  )
{
  EFI_STATUS    Status;
  CONST UINT8   *Cert;
  UINTN         CertSize;
  BOOLEAN       Trusted;
  CHAR16        Subject[EC_CAPSULE_NAME_CHARS];
  EC_CAPSULE    Capsule;
  CONST CHAR16  *Reason;

  Trusted = RunTrustedCert (&Cert, &CertSize);
  if (Trusted) {
    TrustedName (Cert, CertSize, Subject, ARRAY_SIZE (Subject));
  }

  if (!EcCapsuleLooksLikeOne (mImage.File, static_cast<UINTN>(mImage.FileSize))) {
    if (Trusted) {
      return EndRun (
               EFI_SECURITY_VIOLATION,
               Ucs2 (u"%s is not a signed capsule; this Morvane flashes only images signed by %s. Nothing was flashed.\r\n"),
               ImageName (Options),
               Subject
               );
    }

    //
    // Without crc32= a capsule's signature would be the only check of a
    // copy damaged on its way: a raw image has none.
    //
    if (Options->NoCrcLine) {
      return EndRun (EFI_INVALID_PARAMETER, Ucs2 (u"MORVANE.CFG has no crc32= line; nothing was done.\r\n"));
    }

    return EFI_SUCCESS;
  }

  Status = EcCapsuleParse (mImage.File, static_cast<UINTN>(mImage.FileSize), &Capsule, &Reason);
  if (EFI_ERROR (Status)) {
    return EndRun (EFI_UNSUPPORTED, Ucs2 (u"%s is not a capsule Morvane takes (%s). Nothing was flashed.\r\n"), ImageName (Options), Reason);
  }

  if (Capsule.PayloadSize > MAX_IMAGE_SIZE) {
    return EndRun (EFI_BAD_BUFFER_SIZE, Ucs2 (u"Image is larger than 16 MiB; nothing was flashed.\r\n"));
  }

  if (Trusted) {
    Status = CheckSignature (Options, &Capsule, Cert, CertSize, Subject);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // From here on the log tells the capsule's version: signed, or from a
  // Morvane that checks no signature and says so.
  //
  mRunRecord.Capsule = TRUE;
  mRunRecord.Version = Capsule.FwVersion;
  Status             = CheckMachine (Options, &Capsule);
  if (!EFI_ERROR (Status)) {
    Status = CheckVersion (Options, &Capsule);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (!Trusted) {
    ShowMessage (Ucs2 (u"The signature of %s was not checked: this Morvane trusts no signer.\r\n"), ImageName (Options));
  }

  ImageFromPayload (Capsule.Payload, Capsule.PayloadSize);
  RecordImage ();
  return EFI_SUCCESS;
}

VOID
RecordFlashedVersion (
  VOID
  )
{
  MORVANE_EC_VERSION_RECORD  Record;
  EFI_STATUS                 Status;

  if (!mRunRecord.Capsule) {
    return;
  }

  Record.Version         = mRunRecord.Version;
  Record.LowestSupported = mRunRecord.LowestSupported;
  Status                 = EcVersionRecordWrite (&Record);
  if (EFI_ERROR (Status)) {
    ShowMessage (Ucs2 (u"The EC version record could not be written (%r).\r\n"), Status);
  }
}
