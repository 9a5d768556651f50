/** @file
  The machine's product name, as its SMBIOS system information gives it:
  what the log shows and a model check compares (its serial number, UUID
  and hardware IDs go through EcRun.h, as the front ends read them too).

**/

#ifndef MORVANE_SMBIOS_H_
#define MORVANE_SMBIOS_H_

extern "C" {
#include <Uefi.h>
}

//
// Characters kept of the machine's product name.
//
#define PRODUCT_CHARS  80

/**
  Read the machine's product name from the SMBIOS system information, as
  text: printable ASCII, '"' written as "'", leading and trailing spaces
  dropped; "-" when the firmware publishes none.

  @param[out] Product   Receives the name.
  @param[in]  Size      Its size in characters.

  @retval TRUE    The machine names its product.
  @retval FALSE   It does not (no SMBIOS, no name, an empty name).
**/
BOOLEAN
ReadMachineProduct (
  OUT CHAR16  *Product,
  IN  UINTN   Size
  );

/**
  Read the machine's product name from the SMBIOS system information as the
  firmware stores it, byte for byte, without surrounding spaces: what a
  model check compares, where the screen shows '?' for what it cannot draw.

  @param[out] Bytes    Receives the bytes and a terminating zero.
  @param[in]  Size     Its size in bytes.
  @param[out] Length   Receives the name's length.

  @retval TRUE    The machine names its product, and the name fits.
  @retval FALSE   It does not (no SMBIOS, no name, an empty or longer name).
**/
BOOLEAN
ReadMachineProductBytes (
  OUT CHAR8  *Bytes,
  IN  UINTN  Size,
  OUT UINTN  *Length
  );

#endif
