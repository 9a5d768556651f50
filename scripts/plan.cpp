/** @file
  The pre-flight check of an EC image on the host: what Morvane will do with
  it, from the very block rules, CRC-32 and capsule parser that Morvane.efi
  compiles.

    morvane-plan IMAGE                     the plan, for people
    morvane-plan --trust CERT.der IMAGE    the same, for a Morvane built with TRUST
    morvane-plan --crc IMAGE               the file's CRC-32 alone, for scripts
    morvane-plan --kind IMAGE              "capsule" or "raw", for scripts
    morvane-plan [--trust CERT.der] --catalog FOLDER [--out STAGE]
                                           a catalogue of capsules: each checked as
                                           above, the table; with --out, STAGE gets
                                           CATALOG.TXT and the capsules it offers
    morvane-plan --payload IMAGE           the plan of an image make capsule is to wrap
    morvane-plan --index CATALOG.TXT       an index as the machines read it, one entry
                                           a line, for the depot's fwupd remote

  IMAGE is a raw EC image or a signed capsule (make capsule). For a capsule
  it shows what the capsule says (the machines' hardware ID, the versions,
  the signer) and plans its payload, which is what Morvane flashes; with
  --trust it checks the signature as Morvane.efi does (EDK II's Pkcs7Verify:
  a partial chain to the trusted certificate will do, no validity dates, any
  key usage), here with the host's OpenSSL.

  Exits 0 when the image can be flashed; 1 (with the reason on stderr) for a
  missing, empty or over-16-MiB image, a capsule Morvane does not take, and,
  with --trust, a raw image or a capsule whose signature does not verify. An
  empty image is refused here on purpose, although Morvane accepts one: a
  stick that flashes nothing is a mistake. With --payload, also an image no
  capsule may carry (a capsule, or a tail the flash leaves out), for the
  reason the capsule parser would give of the capsule made of it.

**/

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "Catalog.h"
#include "Crc32.h"
#include "EcCapsule.h"
#include "EcCatalog.h"
#include "Ucs2.h"
#include "EcImagePlan.h"
#include "HwIdFields.h"
#include "Rollout.h"

namespace {

// Morvane reads at most 16 MiB of a raw image, and a capsule's headers and
// signature beyond the 16 MiB its payload may hold.
const size_t  MAX_FILE_BYTES = MAX_IMAGE_SIZE + EC_CAPSULE_HEADROOM;

// A name from the command line as printable text.
std::string
Shown (
  const std::string  &Text
  )
{
  std::string  Out (Text);

  std::replace_if (Out.begin (), Out.end (), [](char C) { return C < 0x20 || C > 0x7E; }, '?');
  return Out;
}

int
Refuse (
  const std::string  &Path,
  const std::string  &Why
  )
{
  std::fprintf (stderr, "plan: %s: %s; nothing to flash.\n", Shown (Path).c_str (), Why.c_str ());
  return 1;
}

bool
ReadFile (
  const std::string   &Path,
  size_t              Limit,
  std::vector<UINT8>  &Data
  )
{
  std::ifstream  In (Path, std::ios::binary);

  if (!In) {
    return false;
  }

  Data.resize (Limit + 1);
  In.read (reinterpret_cast<char *>(Data.data ()), static_cast<std::streamsize>(Data.size ()));
  Data.resize (static_cast<size_t>(In.gcount ()));
  return !In.bad ();
}

// Blocks of the plan whose bytes (with 0xFF past the end of the image) are
// all 0xFF: Morvane erases them and programs nothing.
UINT32
BlankBlocks (
  const UINT8  *Image,
  size_t       Size,
  UINT32       Blocks
  )
{
  UINT32  Blank = 0;

  for (UINT32 Block = 0; Block < Blocks; Block++) {
    size_t  Start = Block * static_cast<size_t>(PLAN_BLOCK_SIZE);
    size_t  End   = std::min (Size, Start + PLAN_BLOCK_SIZE);

    Blank += EcBlockIsBlank (Image + Start, End - Start) ? 1 : 0;
  }

  return Blank;
}

void
PrintBlocks (
  const UINT8          *Image,
  size_t               Size,
  const EC_IMAGE_PLAN  &Plan
  )
{
  UINT32  Blank = BlankBlocks (Image, Size, Plan.Blocks);

  std::printf ("blocks:  %u in all: %u programmed and verified, %u blank (erased only)\n",
              Plan.Blocks, Plan.Blocks - Blank, Blank);
  if (Plan.LeftOutBytes > 0) {
    std::printf ("warning: the last %llu bytes (from offset 0x%llX) are not flashed: a last piece whose"
                 " first 32 KiB holds fewer than 8192 bytes is left out\n",
                 static_cast<unsigned long long>(Plan.LeftOutBytes),
                 static_cast<unsigned long long>(Plan.LeftOutOffset));
  }
}

// A CHAR16 phrase of the parser, as the ASCII it is written in.
std::string
Narrow (
  const CHAR16  *Text
  )
{
  std::string  Out;

  for ( ; Text != nullptr && *Text != 0; Text++) {
    Out += (*Text >= 0x20 && *Text < 0x7F) ? static_cast<char>(*Text) : '?';
  }

  return Out;
}

// A GUID as the registry writes it, lower-case as fwupdtool hwids and
// make capsule show it.
std::string
GuidText (
  const EFI_GUID  &Guid
  )
{
  char  Text[40];

  std::snprintf (Text, sizeof (Text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                 Guid.Data1, Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2],
                 Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

// A certificate's common name as Morvane shows it: printable ASCII, one
// '?' for each other character, at most 64.
std::string
CommonName (
  X509  *Cert
  )
{
  X509_NAME        *Name  = (Cert != nullptr) ? X509_get_subject_name (Cert) : nullptr;
  int              Index  = (Name != nullptr) ? X509_NAME_get_index_by_NID (Name, NID_commonName, -1) : -1;
  unsigned char    *Utf8  = nullptr;
  std::string      Out;

  if ((Index < 0) || (ASN1_STRING_to_UTF8 (&Utf8, X509_NAME_ENTRY_get_data (X509_NAME_get_entry (Name, Index))) < 0)) {
    return "(no common name)";
  }

  for (const unsigned char *At = Utf8; *At != 0 && Out.size () < EC_CAPSULE_NAME_CHARS - 1; At++) {
    if ((*At >= 0x20) && (*At < 0x7F)) {
      Out += static_cast<char>(*At);
    } else if ((*At & 0xC0) != 0x80) {
      Out += '?';
    }
  }

  OPENSSL_free (Utf8);
  return Out;
}

struct Pkcs7Free { void operator() (PKCS7 *P) const { PKCS7_free (P); } };
struct X509Free { void operator() (X509 *C) const { X509_free (C); } };
struct StoreFree { void operator() (X509_STORE *S) const { X509_STORE_free (S); } };
struct BioFree { void operator() (BIO *B) const { BIO_free (B); } };

// The capsule's PKCS7 signed data as a ContentInfo: bare signed data gets
// the 19-byte wrapper EDK II's WrapPkcs7Data gives it.
std::unique_ptr<PKCS7, Pkcs7Free>
SignedData (
  const EC_CAPSULE  &Capsule
  )
{
  static const UINT8  Oid[] = { 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02 };
  const UINT8         *Data = Capsule.Signature;
  size_t              Size  = Capsule.SignatureSize;
  std::vector<UINT8>  Wrapped;

  if ((Size < 17) || (std::memcmp (Data + 4, Oid, sizeof (Oid)) != 0) || (Data[15] != 0xA0) || (Data[16] != 0x82)) {
    size_t  Total = Size + 19;

    Wrapped = { 0x30, 0x82, static_cast<UINT8>((Total - 4) >> 8), static_cast<UINT8>(Total - 4) };
    Wrapped.insert (Wrapped.end (), Oid, Oid + sizeof (Oid));
    Wrapped.insert (Wrapped.end (), { 0xA0, 0x82, static_cast<UINT8>(Size >> 8), static_cast<UINT8>(Size) });
    Wrapped.insert (Wrapped.end (), Data, Data + Size);
    Data = Wrapped.data ();
    Size = Wrapped.size ();
  }

  const unsigned char  *At = Data;
  return std::unique_ptr<PKCS7, Pkcs7Free>(d2i_PKCS7 (nullptr, &At, static_cast<long>(Size)));
}

// The common name of the certificate that signed the capsule (what it
// claims, until the signature is verified).
std::string
SignerName (
  const EC_CAPSULE  &Capsule
  )
{
  auto  P7 = SignedData (Capsule);

  if (!P7 || !PKCS7_type_is_signed (P7.get ())) {
    return "(none)";
  }

  STACK_OF (X509)  *Signers = PKCS7_get0_signers (P7.get (), nullptr, PKCS7_BINARY);
  std::string      Name     = (Signers != nullptr && sk_X509_num (Signers) > 0) ? CommonName (sk_X509_value (Signers, 0))
                                                                                : "(none)";

  sk_X509_free (Signers);
  return Name;
}

// Whether the capsule's signature holds and leads to Trusted, as
// FmpAuthenticationLibPkcs7 checks it: over the signed bytes followed by
// the monotonic count, little-endian.
bool
Verifies (
  const EC_CAPSULE  &Capsule,
  X509              *Trusted
  )
{
  std::vector<UINT8>  Data (Capsule.Signed, Capsule.Signed + Capsule.SignedSize);

  for (int Byte = 0; Byte < 8; Byte++) {
    Data.push_back (static_cast<UINT8>(Capsule.MonotonicCount >> (8 * Byte)));
  }

  auto  P7 = SignedData (Capsule);
  std::unique_ptr<X509_STORE, StoreFree>  Store (X509_STORE_new ());
  std::unique_ptr<BIO, BioFree>           Bio (BIO_new_mem_buf (Data.data (), static_cast<int>(Data.size ())));

  if (!P7 || !PKCS7_type_is_signed (P7.get ()) || !Store || !Bio || !X509_STORE_add_cert (Store.get (), Trusted)) {
    return false;
  }

  X509_STORE_set_flags (Store.get (), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_NO_CHECK_TIME);
  X509_STORE_set_purpose (Store.get (), X509_PURPOSE_ANY);
  return PKCS7_verify (P7.get (), nullptr, Store.get (), Bio.get (), nullptr, PKCS7_BINARY) == 1;
}

std::unique_ptr<X509, X509Free>
ReadCertificate (
  const std::string  &Path
  )
{
  std::vector<UINT8>   Der;
  const unsigned char  *At;

  if (!ReadFile (Path, 1024 * 1024, Der)) {
    return nullptr;
  }

  At = Der.data ();
  return std::unique_ptr<X509, X509Free>(d2i_X509 (nullptr, &At, static_cast<long>(Der.size ())));
}

int
PlanCapsule (
  const std::string         &Path,
  const std::vector<UINT8>  &File,
  X509                      *Trusted
  )
{
  EC_CAPSULE     Capsule;
  const CHAR16   *Reason;
  EC_IMAGE_PLAN  Plan;

  if (EcCapsuleParse (File.data (), File.size (), &Capsule, &Reason) != EFI_SUCCESS) {
    return Refuse (Path, "not a capsule Morvane takes (" + Narrow (Reason) + ")");
  }

  if (Capsule.PayloadSize > MAX_IMAGE_SIZE) {
    return Refuse (Path, "the capsule's image is over 16 MiB (256 blocks)");
  }

  EcPlanImage (Capsule.PayloadSize, &Plan);

  UINT32  FileCrc    = Crc32Update (0, File.data (), File.size ());
  UINT32  PayloadCrc = Crc32Update (0, Capsule.Payload, Capsule.PayloadSize);

  std::printf ("image:   %s\n", Shown (Path).c_str ());
  std::printf ("kind:    signed capsule (Morvane flashes the EC image inside it)\n");
  std::printf ("size:    %zu bytes\n", File.size ());
  std::printf ("crc32:   %08X (Morvane -c %08X, MORVANE.CFG's crc32=: the file as read)\n", FileCrc, FileCrc);
  std::printf ("guid:    %s (UpdateImageTypeId: the machines' hardware ID)\n", GuidText (Capsule.ImageTypeId).c_str ());
  std::printf ("version: 0x%08X, lowest supported 0x%08X\n", Capsule.FwVersion, Capsule.LowestSupportedVersion);
  std::printf ("signer:  %s\n", SignerName (Capsule).c_str ());
  std::printf ("payload: %llu bytes, crc32 %08X (the run log's size= and crc32=)\n",
              static_cast<unsigned long long>(Capsule.PayloadSize), PayloadCrc);
  PrintBlocks (Capsule.Payload, Capsule.PayloadSize, Plan);
  if (Trusted == nullptr) {
    std::printf ("trust:   not checked (no TRUST given); a Morvane built without TRUST flashes it unchecked\n");
    return 0;
  }

  std::string  Subject = CommonName (Trusted);
  if (!Verifies (Capsule, Trusted)) {
    std::printf ("trust:   DOES NOT VERIFY against %s (TRUST)\n", Subject.c_str ());
    return Refuse (Path, "the signature does not verify against " + Subject + " (TRUST): a Morvane built with it"
                   " would refuse it");
  }

  std::printf ("trust:   verifies against %s (TRUST)\n", Subject.c_str ());
  return 0;
}

//
// A catalogue: a folder of capsules (NAME.cap), each maybe with the fields
// of its machines (NAME.fields), and rollout.cfg. Every capsule is checked
// as one image is above; what is staged for a stick or a depot is the very
// bytes that were checked, so a file changed meanwhile cannot slip in.
//

int
RefuseCatalog (
  const std::string  &Why
  )
{
  std::fprintf (stderr, "catalog: %s; the catalogue is refused.\n", Shown (Why).c_str ());
  return 1;
}

std::string
Digest (
  const std::vector<UINT8>  &File
  )
{
  unsigned char  Hash[EVP_MAX_MD_SIZE];
  unsigned int   Size = 0;

  EVP_Digest (File.data (), File.size (), Hash, &Size, EVP_sha256 (), nullptr);
  return std::string (reinterpret_cast<char *>(Hash), Size);
}

// The model's hardware IDs, which of them name one model (the rule the
// machine applies), and its product, from NAME.fields.
std::string
ReadFields (
  const std::string  &Path,
  CatalogCapsule     &Entry
  )
{
  std::vector<UINT8>        Data;
  std::vector<std::string>  Values;
  std::vector<bool>         Given;
  std::string               Why;
  EC_HWID_FIELDS            Fields = {};
  EC_HWIDS                  Ids;

  if (!ReadFile (Path, HWID_FIELDS_MAX_BYTES, Data)) {
    return "cannot be read";
  }

  if (!HwIdFieldsParse (std::string (Data.begin (), Data.end ()), Values, Given, Why)) {
    return Why;
  }

  for (unsigned Field = 0; Field < EC_HWID_FIELD_COUNT; Field++) {
    if (Given[Field]) {
      Fields.Field[Field].Text   = Values[Field].data ();
      Fields.Field[Field].Length = Values[Field].size ();
    }
  }

  if (EcHwIdsCompute (&Fields, &Ids) != EFI_SUCCESS) {
    return "its hardware IDs could not be computed";
  }

  for (unsigned Id = 0; Id < EC_HWID_COUNT; Id++) {
    Entry.FieldIds.push_back (Ids.Present[Id] ? GuidText (Ids.Id[Id]).substr (1, 36) : "");
    Entry.FieldNamesModel.push_back (EcHwIdNamesModel (&Ids, Id) != FALSE);
  }

  for (EC_HWID_FIELD Field : { EcHwIdManufacturer, EcHwIdProductName, EcHwIdFamily, EcHwIdProductSku }) {
    if (Given[Field]) {
      Entry.Product += (Entry.Product.empty () ? "" : (Field == EcHwIdProductName) ? " " : " / ") + Shown (Values[Field]);
    }
  }

  return "";
}

// One capsule of the catalogue, checked; staged when Stage is given.
std::string
ReadCapsule (
  const std::filesystem::path  &Folder,
  const std::string            &Name,
  X509                         *Trusted,
  const std::string            &Stage,
  CatalogCapsule               &Entry
  )
{
  std::vector<UINT8>  File;
  EC_CAPSULE          Capsule;
  const CHAR16        *Reason;

  if (!IsCapsuleName (Name)) {
    return Name + ": the name cannot go in the index (letters, digits, '.', '_', '-', at most 64, not starting with '.'"
           " or '-')";
  }

  if (!ReadFile ((Folder / Name).string (), MAX_FILE_BYTES, File) || File.empty ()) {
    return Name + ": cannot be read, or empty";
  }

  if (File.size () > MAX_FILE_BYTES) {
    return Name + ": the capsule is over 16 MiB (256 blocks)";
  }

  if (EcCapsuleParse (File.data (), File.size (), &Capsule, &Reason) != EFI_SUCCESS) {
    return Name + ": not a capsule Morvane takes (" + Narrow (Reason) + ")";
  }

  if (Capsule.PayloadSize > MAX_IMAGE_SIZE) {
    return Name + ": the capsule's image is over 16 MiB (256 blocks)";
  }

  if ((Trusted != nullptr) && !Verifies (Capsule, Trusted)) {
    return Name + ": the signature does not verify against " + CommonName (Trusted) + " (TRUST)";
  }

  Entry          = CatalogCapsule {};
  Entry.Name     = Name;
  Entry.Hwid     = GuidText (Capsule.ImageTypeId).substr (1, 36);
  Entry.Version  = Capsule.FwVersion;
  Entry.Lowest   = Capsule.LowestSupportedVersion;
  Entry.Size     = File.size ();
  Entry.Crc      = Crc32Update (0, File.data (), File.size ());
  Entry.Digest   = Digest (File);
  Entry.Signer   = SignerName (Capsule);

  std::string  FieldsFile = Name.substr (0, Name.size () - 4) + ".fields";
  if (std::filesystem::exists (Folder / FieldsFile)) {
    std::string  Why = ReadFields ((Folder / FieldsFile).string (), Entry);
    if (!Why.empty ()) {
      return FieldsFile + ": " + Why;
    }
  }

  if (!Stage.empty ()) {
    std::ofstream  Out (std::filesystem::path (Stage) / Name, std::ios::binary);
    Out.write (reinterpret_cast<const char *>(File.data ()), static_cast<std::streamsize>(File.size ()));
    if (!Out) {
      return Name + ": could not be written to " + Stage;
    }
  }

  return "";
}

// The folder's names: capsules, their fields and rollout.cfg, nothing else.
std::string
ListCatalog (
  const std::filesystem::path  &Folder,
  std::vector<std::string>     &Capsules,
  bool                         &Rollout
  )
{
  std::error_code           Error;
  std::vector<std::string>  Fields;

  Rollout = false;
  for (const auto &Item : std::filesystem::directory_iterator (Folder, Error)) {
    std::string  Name = Item.path ().filename ().string ();
    bool         Ends = Name.size () > 4;

    if (!Item.is_regular_file () || Item.is_symlink ()) {
      return Name + ": not a plain file (a catalogue is one folder of capsules)";
    } else if (Name == "rollout.cfg") {
      Rollout = true;
    } else if (Ends && (Name.compare (Name.size () - 4, 4, ".cap") == 0)) {
      Capsules.push_back (Name);
    } else if ((Name.size () > 7) && (Name.compare (Name.size () - 7, 7, ".fields") == 0)) {
      Fields.push_back (Name.substr (0, Name.size () - 7) + ".cap");
    } else {
      return Name + ": neither a capsule (NAME.cap), its fields (NAME.fields) nor rollout.cfg";
    }

    if (Capsules.size () + Fields.size () > 2 * CATALOG_MAX_CAPSULES) {
      return "more than " + std::to_string (CATALOG_MAX_CAPSULES) + " capsules";
    }
  }

  if (Error) {
    return Folder.string () + ": not a folder that can be read";
  }

  std::sort (Capsules.begin (), Capsules.end ());
  for (const std::string &Lone : Fields) {
    if (!std::binary_search (Capsules.begin (), Capsules.end (), Lone)) {
      return Lone.substr (0, Lone.size () - 4) + ".fields: no " + Lone + " beside it";
    }
  }

  if (Capsules.empty ()) {
    return Folder.string () + ": no capsules (NAME.cap) in it";
  }

  return Capsules.size () > CATALOG_MAX_CAPSULES ? "more than " + std::to_string (CATALOG_MAX_CAPSULES) + " capsules" : "";
}

int
PlanCatalog (
  const std::string  &Folder,
  X509               *Trusted,
  const std::string  &Stage
  )
{
  std::vector<std::string>     Names;
  std::vector<CatalogCapsule>  Capsules;
  std::vector<RolloutRule>     Rules;
  std::vector<std::string>     Notes;
  bool                         HasRollout = false;
  std::string                  Index;

  std::error_code  Made;
  if (!Stage.empty ()) {
    std::filesystem::create_directories (Stage, Made);
  }

  std::string  Why = Made ? Stage + ": cannot be made" : ListCatalog (Folder, Names, HasRollout);
  if (Why.empty () && HasRollout) {
    std::vector<UINT8>  Text;
    Why = ReadFile (Folder + "/rollout.cfg", ROLLOUT_MAX_BYTES, Text)
          ? ParseRollout (std::string (Text.begin (), Text.end ()), Rules) : "rollout.cfg: cannot be read";
  }

  for (size_t At = 0; Why.empty () && At < Names.size (); At++) {
    Capsules.emplace_back ();
    Why = ReadCapsule (Folder, Names[At], Trusted, Stage, Capsules.back ());
  }

  Why = !Why.empty () ? Why : CatalogCheck (Capsules, Notes);
  Why = !Why.empty () ? Why : CatalogApplyRollout (Capsules, Rules);
  Why = !Why.empty () ? Why : CatalogIndex (Capsules, Index);
  if (!Why.empty ()) {
    return RefuseCatalog (Why);
  }

  if (!Stage.empty ()) {
    for (const CatalogCapsule &Capsule : Capsules) {
      std::error_code  Ignored;
      if (!Capsule.Offered) {
        std::filesystem::remove (std::filesystem::path (Stage) / Capsule.Name, Ignored);
      }
    }

    for (const std::string &Name : Names) {
      bool  Listed = std::any_of (Capsules.begin (), Capsules.end (), [&](const CatalogCapsule &C) { return C.Name == Name; });
      std::error_code  Ignored;
      if (!Listed) {
        std::filesystem::remove (std::filesystem::path (Stage) / Name, Ignored);
      }
    }

    std::ofstream  Out (std::filesystem::path (Stage) / "CATALOG.TXT", std::ios::binary);
    Out << Index;
    if (!Out) {
      return RefuseCatalog ("CATALOG.TXT could not be written to " + Stage);
    }
  }

  std::printf ("catalog: %s\n%s", Shown (Folder).c_str (), CatalogTable (Capsules).c_str ());
  for (const std::string &Note : Notes) {
    std::printf ("note:    %s\n", Shown (Note).c_str ());
  }

  std::printf ("index:   %zu bytes (CATALOG.TXT)\n", Index.size ());
  if (Trusted == nullptr) {
    std::printf ("trust:   not checked (no TRUST given); a Morvane built without TRUST flashes them unchecked\n");
  } else {
    std::printf ("trust:   every capsule verifies against %s (TRUST)\n", CommonName (Trusted).c_str ());
  }

  return 0;
}

/**
  List an index as the machines read it: with the firmware's own parser,
  so that the depot's fwupd remote offers what the machines would see and
  no second reader of the index exists.

  @param[in] Path   The index.

  @retval 0   Each entry printed: NAME HWID VERSION LOWEST SIZE CRC32 PHASE.
  @retval 1   The index is refused; the machines' reason is on stderr.
**/
int
ListIndex (
  const std::string  &Path
  )
{
  std::vector<UINT8>           Text;
  std::unique_ptr<EC_CATALOG>  Catalog (new EC_CATALOG);
  CHAR16                       Refusal[CATALOG_REFUSAL_CHARS];

  if (!ReadFile (Path, CATALOG_MAX_BYTES + 1, Text)) {
    return Refuse (Path, "no such file");
  }

  if (EFI_ERROR (CatalogParse (Text.data (), Text.size (), Ucs2 (u"CATALOG.TXT"), Catalog.get (), Refusal, sizeof (Refusal)))) {
    // The machines' reason, without what they then do.
    std::string  Why = Narrow (Refusal);
    std::fprintf (stderr, "catalog: %s\n", Why.substr (0, Why.find ("; nothing was done.")).c_str ());
    return 1;
  }

  for (UINTN Index = 0; Index < Catalog->Count; Index++) {
    const CATALOG_ENTRY  &Entry = Catalog->Entry[Index];
    std::printf (
      "%s %s 0x%08X 0x%08X %u %08X %u\n",
      Entry.Name,
      Entry.HwIdText,
      Entry.Version,
      Entry.Lowest,
      Entry.Size,
      Entry.Crc,
      Entry.Phase
      );
  }

  return 0;
}

}  // namespace

int
main (
  int   Argc,
  char  **Argv
  )
{
  std::vector<std::string>  Args (Argv + 1, Argv + Argc);
  bool                      Trusting = (Args.size () >= 2) && (Args[0] == "--trust");
  size_t                    First    = Trusting ? 2 : 0;

  if ((Args.size () == 2) && (Args[0] == "--index")) {
    return ListIndex (Args[1]);
  }

  if ((Args.size () > First + 1) && (Args[First] == "--catalog")) {
    bool  Staged = (Args.size () == First + 4) && (Args[First + 2] == "--out");
    if ((Args.size () != First + 2) && !Staged) {
      std::fprintf (stderr, "usage: morvane-plan [--trust CERT.der] --catalog FOLDER [--out STAGE]\n");
      return 2;
    }

    std::unique_ptr<X509, X509Free>  Trusted = Trusting ? ReadCertificate (Args[1]) : nullptr;
    if (Trusting && !Trusted) {
      std::fprintf (stderr, "plan: %s is not a DER certificate.\n", Shown (Args[1]).c_str ());
      return 2;
    }

    return PlanCatalog (Args[First + 1], Trusted.get (), Staged ? Args[First + 3] : "");
  }

  std::string  Option = (Argc >= 3) ? Argv[1] : "";
  bool         Usage  = (Argc == 2) ||
                        (Argc == 3 && (Option == "--crc" || Option == "--kind" || Option == "--payload")) ||
                        (Argc == 4 && Option == "--trust");
  std::string  Path   = Usage ? Argv[Argc - 1] : "";

  if (!Usage) {
    std::fprintf (stderr, "usage: morvane-plan [--crc | --kind | --payload | --trust CERT.der] IMAGE\n");
    return 2;
  }

  std::unique_ptr<X509, X509Free>  Trusted;
  if (Option == "--trust") {
    Trusted = ReadCertificate (Argv[2]);
    if (!Trusted) {
      std::fprintf (stderr, "plan: %s is not a DER certificate.\n", Shown (Argv[2]).c_str ());
      return 2;
    }
  }

  std::vector<UINT8>  Image;
  if (!ReadFile (Path, MAX_FILE_BYTES, Image)) {
    return Refuse (Path, "no such file");
  }

  // Only so much is read: a file that fills the buffer is larger than
  // anything Morvane reads.
  bool  Capsule = EcCapsuleLooksLikeOne (Image.data (), Image.size ()) != FALSE;
  bool  Larger  = Image.size () > (Capsule ? MAX_FILE_BYTES : MAX_IMAGE_SIZE);
  if (Option == "--kind") {
    std::printf ("%s\n", Capsule ? "capsule" : "raw");
    return 0;
  }

  if (Image.empty ()) {
    return Refuse (Path, "the image is empty");
  }

  if (Larger) {
    return Refuse (Path, std::string (Capsule ? "the capsule" : "the image") + " is over 16 MiB (256 blocks)");
  }

  if (Option == "--crc") {
    std::printf ("%08X\n", Crc32Update (0, Image.data (), Image.size ()));
    return 0;
  }

  if (Option == "--payload") {
    const CHAR16  *Reason = EcCapsulePayloadRefusal (Image.data (), Image.size ());
    if (Reason != nullptr) {
      return Refuse (Path, "no capsule may carry it (" + Narrow (Reason) + ")");
    }
  }

  if (Capsule) {
    return PlanCapsule (Path, Image, Trusted.get ());
  }

  if (Trusted) {
    return Refuse (Path, "not a signed capsule: a Morvane built with TRUST (" + CommonName (Trusted.get ()) +
                   ") would refuse it (make capsule wraps an image in one)");
  }

  EC_IMAGE_PLAN  Plan;
  EcPlanImage (Image.size (), &Plan);

  UINT32  Crc = Crc32Update (0, Image.data (), Image.size ());
  std::printf ("image:   %s\n", Shown (Path).c_str ());
  std::printf ("size:    %zu bytes\n", Image.size ());
  std::printf ("crc32:   %08X (Morvane -c %08X; the run log records it)\n", Crc, Crc);
  PrintBlocks (Image.data (), Image.size (), Plan);
  return 0;
}
