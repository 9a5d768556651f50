/** @file
  CATALOG.TXT, the index of a catalogue of signed capsules, and the choice
  of the one capsule a machine takes from it.

    # comment
    morvane-catalog 1
    NAME HWID VERSION LOWEST SIZE CRC32 PHASE
    ec-a-0102.cap a9c3dcfe-1e69-5a88-8064-baf11dffca66 0x00000102 0x00000100 133989 4579E66A 100

  The index comes from a stick or a depot anyone may have written: it is
  read here and nowhere else, every field is checked, and the first fault
  refuses the whole index by its line number. Nothing in it is trusted: a
  changed index can at most offer another capsule, which the run still
  verifies, checks against this machine and holds to the version floor.

**/

#ifndef MORVANE_EC_CATALOG_H_
#define MORVANE_EC_CATALOG_H_

extern "C" {
#include <Uefi.h>
}

#include "EcCapsule.h"

#define CATALOG_MAX_BYTES       65536
#define CATALOG_LINE_CHARS      256
#define CATALOG_MAX_ENTRIES     1024
#define CATALOG_NAME_CHARS      64
#define CATALOG_HWID_CHARS      36
#define CATALOG_VERSION_CHARS   10
#define CATALOG_MAX_SIZE        (16 * 1024 * 1024)
#define CATALOG_REFUSAL_CHARS   256

//
// The longest identity the phase is drawn from: a serial number as the log
// shows it, or a UUID.
//
#define CATALOG_IDENTITY_CHARS  80

typedef struct {
  CHAR8       Name[CATALOG_NAME_CHARS + 1];   ///< the capsule's file name beside the index
  CHAR8       HwIdText[CATALOG_HWID_CHARS + 1];
  EFI_GUID    HwId;                           ///< in the byte order of a capsule's UpdateImageTypeId
  UINT32      Version;
  UINT32      Lowest;
  UINT32      Size;                           ///< the capsule file's size: the most a fetch takes
  UINT32      Crc;                            ///< the capsule file's CRC-32
  UINT32      Phase;                          ///< 1 to 100: the share of machines offered it
} CATALOG_ENTRY;

typedef struct {
  UINTN            Count;
  CATALOG_ENTRY    Entry[CATALOG_MAX_ENTRIES];
} EC_CATALOG;

//
// What a machine knows of itself when it chooses.
//
typedef struct {
  CONST EC_HWIDS    *Ids;                    ///< its hardware IDs
  BOOLEAN           HasRecord;               ///< it has a version record
  UINT32            Version;                 ///< the record's version
  UINT32            LowestSupported;         ///< the record's floor (0 without a record)
  CONST CHAR8       *Identity;               ///< what its phase is drawn from (CatalogIdentity)
} CATALOG_MACHINE;

typedef enum {
  CatalogNoImage,    ///< no entry is for this machine: nothing to do
  CatalogUpToDate,   ///< the chosen entry is the version the machine has
  CatalogFetch       ///< fetch and flash the chosen entry
} CATALOG_CHOICE;

/**
  Read the index from its bytes.

  @param[in]  Text          The file's bytes.
  @param[in]  Size          How many; more than CATALOG_MAX_BYTES is refused.
  @param[in]  FileName      The index's name, for the refusal.
  @param[out] Catalog       The entries; only meaningful on success.
  @param[out] Refusal       Receives the refusal, with its line end.
  @param[in]  RefusalSize   Its size in bytes.

  @retval EFI_SUCCESS             Catalog holds the index (perhaps no entry).
  @retval EFI_INVALID_PARAMETER   The index is refused; Refusal says why.
**/
EFI_STATUS
CatalogParse (
  IN  CONST UINT8   *Text,
  IN  UINTN         Size,
  IN  CONST CHAR16  *FileName,
  OUT EC_CATALOG    *Catalog,
  OUT CHAR16        *Refusal,
  IN  UINTN         RefusalSize
  );

/**
  The identity a machine's phase is drawn from: its SMBIOS system UUID as
  lower-case text when it has one (not all zeros, not all ones), else its
  serial number as the log's serial= shows it.

  @param[in]  Uuid       The UUID as the log shows it; "-" for none.
  @param[in]  Serial     The serial number as the log shows it.
  @param[out] Identity   Receives the identity.
  @param[in]  Size       Its size in bytes.
**/
VOID
CatalogIdentity (
  IN  CONST CHAR16  *Uuid,
  IN  CONST CHAR16  *Serial,
  OUT CHAR8         *Identity,
  IN  UINTN         Size
  );

/**
  Whether a machine is in an entry's phase: (H mod 100) < PHASE, H being
  the first four bytes, big-endian, of SHA-1 over "IDENTITY/HWID/VERSION".
  The same machine gets the same answer at every boot.

  @param[in] Identity   The machine's identity (CatalogIdentity).
  @param[in] Entry      The entry.

  @retval TRUE   The entry is offered to this machine.
**/
BOOLEAN
CatalogInPhase (
  IN CONST CHAR8          *Identity,
  IN CONST CATALOG_ENTRY  *Entry
  );

/**
  Choose the machine's capsule: among the entries whose HWID names this
  machine (EcHwIdsMatch, the one rule the run's capsule check asks too), whose version is not below its floor and
  whose phase it is in, the highest version; of two with that version, the
  one listed first.

  @param[in]  Catalog   The index.
  @param[in]  Machine   The machine.
  @param[out] Chosen    Receives the chosen entry's number (unless none).

  @return What to do.
**/
CATALOG_CHOICE
CatalogChoose (
  IN  CONST EC_CATALOG       *Catalog,
  IN  CONST CATALOG_MACHINE  *Machine,
  OUT UINTN                  *Chosen
  );

#endif
