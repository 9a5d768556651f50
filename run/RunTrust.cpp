/** @file
  The certificate built into Morvane. It is a fixed PCD, so Secure Boot's
  signature over Morvane.efi covers it: nothing on a stick or a depot can
  change what Morvane trusts.

  Kept alone in its file: the host tests put their own certificate in its
  place, as the build puts TRUST's.

**/

extern "C" {
#include <Uefi.h>
#include <Library/PcdLib.h>
}

#include "RunTrust.h"

BOOLEAN
RunTrustedCert (
  OUT CONST UINT8  **Cert,
  OUT UINTN        *Size
  )
{
  *Cert = static_cast<CONST UINT8 *>(PcdGetPtr (PcdMorvaneTrustedCert));
  *Size = PcdGetSize (PcdMorvaneTrustedCert);

  //
  // The package's default, one zero byte, is no certificate: no DER
  // certificate is that short.
  //
  return *Size > 1;
}
