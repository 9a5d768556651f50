/** @file
  MORVANE.CFG: what a run started without a shell is to do.

    # comment
    image=ec_fw.bin
    crc32=1A2B3C4D
    model=Product Name
    update=yes
    save=yes
    depot=http://server/morvane/

  or, for a catalogue of signed capsules of which each machine takes its
  own, instead of image=, crc32= and model=:

    catalog=CATALOG.TXT

  ASCII, CRLF or LF line ends, a UTF-8 byte-order mark tolerated, one
  key=value per line with nothing around the '='. Exactly one of image and
  catalog is required; with image, crc32 too, unless the image is a
  capsule (its signature covers it: the run refuses a raw image without
  it); with catalog, neither crc32 nor model (the index gives each
  capsule's CRC-32, the capsule its machines); update and save default to
  yes.

**/

#ifndef MORVANE_SETTINGS_H_
#define MORVANE_SETTINGS_H_

extern "C" {
#include <Uefi.h>
}

#include "Depot.h"

#define SETTINGS_FILE_NAME     u"MORVANE.CFG"
#define SETTINGS_MAX_BYTES     4096
#define SETTINGS_LINE_CHARS    256
#define SETTINGS_NAME_CHARS    64
#define SETTINGS_MODEL_CHARS   64
#define SETTINGS_REFUSAL_CHARS 160

typedef struct {
  CHAR16     Image[SETTINGS_NAME_CHARS + 1];   ///< a file name on the settings' own volume
  BOOLEAN    HasCatalog;
  CHAR16     Catalog[SETTINGS_NAME_CHARS + 1]; ///< the catalogue's index beside it, instead of an image
  BOOLEAN    HasCrc;
  UINT32     Crc;
  BOOLEAN    HasModel;
  CHAR16     Model[SETTINGS_MODEL_CHARS + 1];
  BOOLEAN    Update;
  BOOLEAN    Save;
  BOOLEAN    HasDepot;
  CHAR16     Depot[DEPOT_URL_CHARS + 1];
} MORVANE_SETTINGS;

/**
  Read the settings from the bytes of MORVANE.CFG.

  @param[in]  Text          The file's bytes.
  @param[in]  Size          How many; more than SETTINGS_MAX_BYTES is refused.
  @param[in]  FromDepot     The file came from a depot: a depot= line is refused.
  @param[out] Settings      The settings; only meaningful on success.
  @param[out] Refusal       Receives the line that refuses the file, with its line end.
  @param[in]  RefusalSize   Its size in bytes.

  @retval EFI_SUCCESS             Settings holds the file.
  @retval EFI_INVALID_PARAMETER   The file is refused; Refusal says why.
**/
EFI_STATUS
SettingsParse (
  IN  CONST UINT8       *Text,
  IN  UINTN             Size,
  IN  BOOLEAN           FromDepot,
  OUT MORVANE_SETTINGS  *Settings,
  OUT CHAR16            *Refusal,
  IN  UINTN             RefusalSize
  );

#endif
