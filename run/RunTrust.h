/** @file
  The certificate built into Morvane, which every image must be signed
  under when there is one.

**/

#ifndef MORVANE_RUN_TRUST_H_
#define MORVANE_RUN_TRUST_H_

extern "C" {
#include <Uefi.h>
}

/**
  The certificate built into Morvane (PcdMorvaneTrustedCert), which every
  image must be signed under.

  @param[out] Cert   Its DER bytes.
  @param[out] Size   Their count.

  @retval TRUE    Morvane trusts this certificate.
  @retval FALSE   It trusts none (the package's default).
**/
BOOLEAN
RunTrustedCert (
  OUT CONST UINT8  **Cert,
  OUT UINTN        *Size
  );

#endif
