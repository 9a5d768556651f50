/** @file
  A boot whose MORVANE.CFG names a catalogue (catalog=): the index read from
  the stick or the depot, and the one capsule this machine takes from it.

**/

#ifndef MORVANE_CATALOG_BOOT_H_
#define MORVANE_CATALOG_BOOT_H_

extern "C" {
#include <Uefi.h>
}

#include "EcCatalog.h"
#include "Settings.h"

//
// What the catalogue decided for this machine.
//
typedef struct {
  BOOLEAN           Used;      ///< MORVANE.CFG names a catalogue
  CATALOG_CHOICE    Choice;
  UINT32            Version;   ///< the chosen capsule's version
  UINT32            Size;      ///< the most its fetch takes
} BOOT_CATALOG;

/**
  Choose this machine's capsule from the index: its hardware IDs, its
  version record's floor and its identity against the entries. For a
  capsule to fetch, the settings then name it as image=NAME crc32=CRC32
  would, and the rest of the boot runs it so.

  @param[in]      Text       The index's bytes.
  @param[in]      Size       How many (one past CATALOG_MAX_BYTES tells a
                             larger file).
  @param[in, out] Settings   catalog= in; image= and crc32= out.
  @param[out]     Catalog    The choice.

  @retval EFI_SUCCESS   Catalog holds the choice.
  @return               The index was refused, or the machine cannot tell
                        what it is; the screen says why.
**/
EFI_STATUS
ChooseFromIndex (
  IN     CONST UINT8       *Text,
  IN     UINTN             Size,
  IN OUT MORVANE_SETTINGS  *Settings,
  OUT    BOOT_CATALOG      *Catalog
  );

#endif
