/** @file
  The catalogue's rules between capsules, its rollout, its index and its
  table (see Catalog.h).

**/

#include "Catalog.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// The index may name capsules of at most 16 MiB (SIZE).
const std::uint64_t  INDEX_MAX_SIZE = 16 * 1024 * 1024;

std::string
Hex8 (
  std::uint32_t  Value,
  bool           Prefix
  )
{
  char  Text[16];

  std::snprintf (Text, sizeof (Text), Prefix ? "0x%08X" : "%08X", Value);
  return Text;
}

std::string
Lower (
  std::string  Text
  )
{
  std::transform (Text.begin (), Text.end (), Text.begin (), [](unsigned char C) { return static_cast<char>(std::tolower (C)); });
  return Text;
}

// Fields files are named for their capsule: NAME.cap has NAME.fields.
std::string
FieldsName (
  const std::string  &Capsule
  )
{
  return Capsule.substr (0, Capsule.size () - 4) + ".fields";
}

// Whether ID number Id of Them's fields names one model (the machine's rule,
// EcHwIdNamesModel, as plan.cpp found it); without a word on it, it does not.
bool
NamesModel (
  const CatalogCapsule  &Them,
  unsigned              Id
  )
{
  return (Id < Them.FieldNamesModel.size ()) && Them.FieldNamesModel[Id];
}

// Why Hwid, one of the IDs of Them's fields that the machine's rule does
// not take, names no model; "" when no such ID of theirs is Hwid.
std::string
NotOneModel (
  const std::string     &Hwid,
  const CatalogCapsule  &Them
  )
{
  std::string  Why;

  for (unsigned Id = 0; Id < Them.FieldIds.size (); Id++) {
    if ((Them.FieldIds[Id] != Hwid) || NamesModel (Them, Id)) {
      continue;
    }

    // An ID of a model that equals the family's or the maker's is told as
    // the latter, the wider one.
    Why = "its hardware ID is HardwareID-" + std::to_string (Id) + " of " + FieldsName (Them.Name) +
          ((Id >= CATALOG_MODEL_IDS) ? ", which names a family or a maker, not one model"
                                     : ", which does not name one model: the product name or SKU it is made of is blank");
  }

  return Why;
}

// What can be told of one capsule's ID from the capsule and its own fields.
std::string
CheckId (
  const CatalogCapsule  &Capsule
  )
{
  // Hardware IDs are name-based GUIDs: version 5, the standard variant.
  if ((Capsule.Hwid[14] != '5') || (std::string ("89ab").find (Capsule.Hwid[19]) == std::string::npos)) {
    return Capsule.Name + ": its hardware ID " + Capsule.Hwid + " is no hardware ID (those are name-based GUIDs,"
           " version 5): it cannot name one model";
  }

  if (Capsule.FieldIds.empty ()) {
    return "";
  }

  // As the machine matches (EcHwIdsMatch): any of its IDs that names one model.
  for (unsigned Id = 0; Id < Capsule.FieldIds.size (); Id++) {
    if ((Capsule.FieldIds[Id] == Capsule.Hwid) && NamesModel (Capsule, Id)) {
      return "";
    }
  }

  std::string  Why = NotOneModel (Capsule.Hwid, Capsule);
  return Capsule.Name + ": " + (!Why.empty () ? Why : "its hardware ID " + Capsule.Hwid + " is none of the hardware IDs of " +
                                FieldsName (Capsule.Name));
}

}  // namespace

std::string
CatalogCheck (
  std::vector<CatalogCapsule>  &Capsules,
  std::vector<std::string>     &Notes
  )
{
  for (size_t One = 0; One < Capsules.size (); One++) {
    std::string  Why = CheckId (Capsules[One]);

    if (!Why.empty ()) {
      return Why;
    }

    if (Capsules[One].Size > INDEX_MAX_SIZE) {
      return Capsules[One].Name + ": the file is over 16 MiB, more than the index may name";
    }

    for (size_t Other = 0; Other < Capsules.size (); Other++) {
      const CatalogCapsule  &Them = Capsules[Other];

      if ((Other > One) && (Lower (Them.Name) == Lower (Capsules[One].Name))) {
        return Capsules[One].Name + " and " + Them.Name + ": one name on a FAT volume (case does not count there)";
      }

      // Its own fields are CheckId's: an ID any of them takes will do there.
      std::string  Wide = (Other == One) ? "" : NotOneModel (Capsules[One].Hwid, Them);
      if (!Wide.empty ()) {
        return Capsules[One].Name + ": " + Wide;
      }
    }
  }

  std::stable_sort (Capsules.begin (), Capsules.end (), [](const CatalogCapsule &A, const CatalogCapsule &B) {
    return A.Hwid != B.Hwid ? A.Hwid < B.Hwid : A.Version < B.Version;
  });
  for (size_t At = 1; At < Capsules.size (); ) {
    const CatalogCapsule  &Before = Capsules[At - 1];
    const CatalogCapsule  &This   = Capsules[At];

    if ((Before.Hwid != This.Hwid) || (Before.Version != This.Version)) {
      At++;
    } else if (Before.Digest == This.Digest) {
      Notes.push_back (This.Name + " is a copy of " + Before.Name + ": it is listed once, as " + Before.Name);
      Capsules.erase (Capsules.begin () + static_cast<long>(At));
    } else {
      return Before.Name + " and " + This.Name + ": two different capsules for hardware ID " + This.Hwid +
             " version " + Hex8 (This.Version, true);
    }
  }

  return "";
}

std::string
CatalogApplyRollout (
  std::vector<CatalogCapsule>     &Capsules,
  const std::vector<RolloutRule>  &Rules
  )
{
  for (const RolloutRule &Rule : Rules) {
    bool  Named = false;
    bool  Pinned = false;

    for (const CatalogCapsule &Capsule : Capsules) {
      Named  = Named || (Rule.ModelTarget ? Capsule.Hwid == Rule.Target : Capsule.Name == Rule.Target);
      Pinned = Pinned || (Capsule.Hwid == Rule.Target && Capsule.Version == Rule.Version);
    }

    std::string  At = "rollout.cfg line " + std::to_string (Rule.Line) + ": ";
    if (!Named) {
      return At + (Rule.ModelTarget ? "no capsule in the catalogue is for " : "no capsule in the catalogue is named ") +
             Rule.Target;
    }

    if ((Rule.Kind == RolloutKind::Pin) && !Pinned) {
      return At + "the catalogue holds no version " + Hex8 (Rule.Version, true) + " for " + Rule.Target;
    }
  }

  for (CatalogCapsule &Capsule : Capsules) {
    const RolloutRule  *Own   = nullptr;
    const RolloutRule  *Model = nullptr;
    const RolloutRule  *Pin   = nullptr;

    for (const RolloutRule &Rule : Rules) {
      if (Rule.Kind == RolloutKind::Pin) {
        Pin = (Rule.Target == Capsule.Hwid) ? &Rule : Pin;
      } else if (Rule.ModelTarget ? Rule.Target == Capsule.Hwid : Rule.Target == Capsule.Name) {
        (Rule.ModelTarget ? Model : Own) = &Rule;
      }
    }

    const RolloutRule  *Share = (Own != nullptr) ? Own : Model;
    std::string        Word   = (Share == nullptr) ? "offered"
                              : (Share->Kind == RolloutKind::Hold) ? "hold" : "phase " + std::to_string (Share->Percent) + "%";

    Capsule.Offered = (Share == nullptr) || (Share->Kind != RolloutKind::Hold);
    Capsule.Phase   = (Share != nullptr && Share->Kind == RolloutKind::Phase) ? Share->Percent : 100;
    Capsule.Rollout = Word;
    if ((Pin != nullptr) && (Pin->Version != Capsule.Version)) {
      Capsule.Offered = false;
      Capsule.Rollout = "pinned to " + Hex8 (Pin->Version, true);
    } else if (Pin != nullptr) {
      Capsule.Rollout = (Word == "offered") ? "pin" : "pin, " + Word;
    }
  }

  return "";
}

std::string
CatalogIndex (
  const std::vector<CatalogCapsule>  &Capsules,
  std::string                        &Text
  )
{
  size_t  Entries = 0;

  Text = "# Morvane's catalogue index: machines check every capsule it names (signature, machine, version floor).\n"
         "morvane-catalog 1\n";
  for (const CatalogCapsule &Capsule : Capsules) {
    if (Capsule.Offered) {
      Entries++;
      Text += Capsule.Name + " " + Capsule.Hwid + " " + Hex8 (Capsule.Version, true) + " " + Hex8 (Capsule.Lowest, true) +
              " " + std::to_string (Capsule.Size) + " " + Hex8 (Capsule.Crc, false) + " " + std::to_string (Capsule.Phase) + "\n";
    }
  }

  if (Entries > CATALOG_MAX_ENTRIES) {
    return "the index would offer " + std::to_string (Entries) + " capsules; machines take at most 1024 (hold some in rollout.cfg)";
  }

  if (Text.size () > CATALOG_MAX_INDEX_BYTES) {
    return "the index would be " + std::to_string (Text.size ()) + " bytes; machines take at most 65536 (shorter names, or"
           " hold some capsules in rollout.cfg)";
  }

  return "";
}

std::string
CatalogTable (
  const std::vector<CatalogCapsule>  &Capsules
  )
{
  std::string  Out;
  char         Line[400];
  std::string  Last;
  size_t       Models  = 0;
  size_t       Offered = 0;

  std::snprintf (Line, sizeof (Line), "%-36s  %-28s  %-10s  %-10s  %9s  %-20s  %-21s  %s\n", "MODEL (HWID)", "PRODUCT",
                 "VERSION", "LOWEST", "SIZE", "SIGNER", "ROLLOUT", "CAPSULE");
  Out += Line;
  for (const CatalogCapsule &Capsule : Capsules) {
    bool  First = Capsule.Hwid != Last;

    Models  += First ? 1 : 0;
    Offered += Capsule.Offered ? 1 : 0;
    Last     = Capsule.Hwid;
    // A model's product is known when any of its capsules has fields.
    std::string  Product = Capsule.Product;
    for (const CatalogCapsule &Same : Capsules) {
      Product = (Product.empty () && Same.Hwid == Capsule.Hwid) ? Same.Product : Product;
    }

    std::snprintf (Line, sizeof (Line), "%-36s  %-28.28s  %-10s  %-10s  %9llu  %-20.20s  %-21s  %s\n",
                   First ? Capsule.Hwid.c_str () : "", Product.empty () ? "-" : Product.c_str (),
                   Hex8 (Capsule.Version, true).c_str (), Hex8 (Capsule.Lowest, true).c_str (),
                   static_cast<unsigned long long>(Capsule.Size), Capsule.Signer.c_str (), Capsule.Rollout.c_str (),
                   Capsule.Name.c_str ());
    Out += Line;
  }

  Out += std::to_string (Capsules.size ()) + (Capsules.size () == 1 ? " capsule for " : " capsules for ") +
         std::to_string (Models) + (Models == 1 ? " model; " : " models; ") +
         std::to_string (Offered) + " offered in CATALOG.TXT\n";
  return Out;
}
