/** @file
  A catalogue of signed capsules for a mixed fleet, once each capsule has
  been read and checked (scripts/plan.cpp does that with Morvane's own
  parser and the signature check): the rules between capsules, the rollout,
  and what comes out of it, the index machines read (CATALOG.TXT) and the
  table for people.

**/

#ifndef MORVANE_CATALOG_H_
#define MORVANE_CATALOG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Rollout.h"

// What the index may hold (the machine refuses more).
const size_t  CATALOG_MAX_ENTRIES     = 1024;
const size_t  CATALOG_MAX_INDEX_BYTES = 65536;
// A catalogue may hold held capsules besides those offered, but not
// without end: each is read and checked at every build.
const size_t  CATALOG_MAX_CAPSULES    = 4096;

// HardwareID-0 to -14; -10 to -14 name whole families or makers.
const unsigned  CATALOG_MODEL_IDS = 10;
const unsigned  CATALOG_ALL_IDS   = 15;

struct CatalogCapsule {
  std::string                 Name;        ///< the file's name in the folder
  std::string                 Hwid;        ///< lower-case GUID
  std::uint32_t               Version;
  std::uint32_t               Lowest;
  std::uint64_t               Size;        ///< the file's
  std::uint32_t               Crc;         ///< the file's CRC-32
  std::string                 Digest;      ///< tells identical files apart from different ones
  std::string                 Signer;      ///< common name, printable
  std::string                 Product;     ///< from NAME.fields, printable; "" without one
  std::vector<std::string>    FieldIds;    ///< HardwareID-0..14 of NAME.fields ("" absent); empty without one
  std::vector<bool>           FieldNamesModel;  ///< per ID of FieldIds: whether EcHwIdNamesModel takes it
  // Filled by CatalogApplyRollout.
  bool                        Offered = true;
  unsigned                    Phase   = 100;
  std::string                 Rollout = "offered";
};

/**
  The rules between capsules: no two files of one hardware ID and version
  (identical copies are kept once, the first name, and a note says so),
  no two names a FAT volume would take for one, and a hardware ID that
  names one model, as far as can be told: a name-based (version 5) GUID;
  when the capsule has NAME.fields, one of their IDs that the machine's
  own rule (EcHwIdNamesModel, in FieldNamesModel) takes; and none of any
  capsule's fields' IDs that the rule does not take (a family's or the
  maker's, or one a blank product name or SKU makes the same for other
  models).

  @param[in,out] Capsules   Sorted by name on entry; identical copies are dropped.
  @param[out]    Notes      What was tolerated, for the operator.

  @return "" when sound; else "NAME: why".
**/
std::string
CatalogCheck (
  std::vector<CatalogCapsule>  &Capsules,
  std::vector<std::string>     &Notes
  );

/**
  Apply rollout.cfg: hold, pin and phase; a capsule's rule wins over its
  model's. A target not in the catalogue, or a pin of a version it does
  not hold, is refused with its line.

  @return "" when applied; else "rollout.cfg line N: why".
**/
std::string
CatalogApplyRollout (
  std::vector<CatalogCapsule>     &Capsules,
  const std::vector<RolloutRule>  &Rules
  );

/**
  CATALOG.TXT: the offered capsules, by hardware ID then version.

  @param[out] Text   The index.
  @return "" when it fits the index's bounds; else why.
**/
std::string
CatalogIndex (
  const std::vector<CatalogCapsule>  &Capsules,
  std::string                        &Text
  );

/**
  The catalogue as a table for make plan CATALOG=: one line per capsule,
  grouped by model.
**/
std::string
CatalogTable (
  const std::vector<CatalogCapsule>  &Capsules
  );

#endif
