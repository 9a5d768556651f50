/** @file
  The SMBIOS table as firmware may publish it, read for the machine's
  identity. The input's first byte chooses the entry point (bit 0: the
  2.x one, whose 32-bit address needs the table below 4 GiB; else the
  3.0 one); the rest is the structure table, its length the entry
  point's. Whatever the table holds, the serial number, UUID and product
  name come out as printable text that fits, and nothing is read past the
  table's end; of the hardware IDs, only one of HardwareID-0 to -9 that
  the machine has, and that is not also one of its family-wide IDs, may
  name a model, a capsule is taken for no other, and the nil GUID names
  nothing.

**/

#include "Fuzz.h"

#include <sys/mman.h>

#include <cstring>
#include <vector>

extern "C" {
#include <Guid/SmBios.h>
#include <IndustryStandard/SmBios.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "EcRun.h"
#include "Smbios.h"

namespace {

#define PAGE        4096
#define LOW_PAGES   32

//
// Pages below 2 GiB for a 2.x table, placed to end where a page that
// cannot be read begins, so that a read past its end faults.
//
UINT8  *mLow;

EFI_CONFIGURATION_TABLE       mTable;
SMBIOS_TABLE_3_0_ENTRY_POINT  mEntry3;
SMBIOS_TABLE_ENTRY_POINT      mEntry2;

bool
MapLow (
  )
{
  void  *At = mmap (nullptr, (LOW_PAGES + 1) * PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);

  if (At == MAP_FAILED) {
    return false;
  }

  mLow = static_cast<UINT8 *>(At);
  return mprotect (mLow + LOW_PAGES * PAGE, PAGE, PROT_NONE) == 0;
}

void
CheckText (
  const CHAR16  *Text,
  size_t        Size,
  bool          Spaces
  )
{
  std::u16string  Said = FuzzText (Text, Size);

  FUZZ_CHECK (!Said.empty ());
  for (char16_t C : Said) {
    FUZZ_CHECK (C >= 0x20 && C < 0x7F && C != u'"');
    FUZZ_CHECK (Spaces || C != u' ');
  }
}

void
CheckHwIds (
  )
{
  EC_HWID_FIELDS  Fields;
  EC_HWIDS        Ids;
  EFI_GUID        Nil = {};
  UINTN           Which;

  FUZZ_CHECK (ReadMachineHwIds (&Fields, &Ids) == EFI_SUCCESS);
  FUZZ_CHECK (!EcHwIdsMatch (&Ids, &Nil, nullptr));
  for (UINTN Index = 0; Index < EC_HWID_COUNT; Index++) {
    if (EcHwIdNamesModel (&Ids, Index)) {
      FUZZ_CHECK (Index < EC_HWID_MODEL_IDS && Ids.Present[Index]);
      for (UINTN Wide = EC_HWID_MODEL_IDS; Wide < EC_HWID_COUNT; Wide++) {
        FUZZ_CHECK (!Ids.Present[Wide] || !CompareGuid (&Ids.Id[Wide], &Ids.Id[Index]));
      }
    }

    if (EcHwIdsMatch (&Ids, &Ids.Id[Index], &Which)) {
      FUZZ_CHECK (EcHwIdNamesModel (&Ids, Which) && CompareGuid (&Ids.Id[Which], &Ids.Id[Index]));
    }
  }
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize (
  int   *Argc,
  char  ***Argv
  )
{
  FuzzReset ();
  if (!MapLow ()) {
    std::fprintf (stderr, "no memory below 2 GiB for 2.x tables; only 3.0 tables are tried\n");
  }

  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  CHAR16              Serial[80];
  CHAR16              Uuid[80];
  CHAR16              Product[PRODUCT_CHARS];
  std::vector<UINT8>  Table;

  if (Size == 0) {
    return 0;
  }

  Size--;
  if ((Data[0] & 1) && (mLow != nullptr) && (Size <= LOW_PAGES * PAGE)) {
    UINT8  *At = mLow + LOW_PAGES * PAGE - Size;
    std::memcpy (At, Data + 1, Size);
    mEntry2              = {};
    mEntry2.TableAddress = static_cast<UINT32>(reinterpret_cast<UINTN>(At));
    mEntry2.TableLength  = static_cast<UINT16>(Size);
    mTable               = { gEfiSmbiosTableGuid, &mEntry2 };
  } else {
    // As the fakes publish it: a table of exactly its length.
    Table.assign (Data + 1, Data + 1 + Size);
    mEntry3                  = {};
    mEntry3.TableAddress     = reinterpret_cast<UINT64>(Table.data ());
    mEntry3.TableMaximumSize = static_cast<UINT32>(Size);
    mTable                   = { gEfiSmbios3TableGuid, &mEntry3 };
  }

  gST->NumberOfTableEntries = 1;
  gST->ConfigurationTable   = &mTable;

  ReadMachineIdentity (Serial, ARRAY_SIZE (Serial), Uuid, ARRAY_SIZE (Uuid));
  CheckText (Serial, ARRAY_SIZE (Serial), false);
  CheckText (Uuid, ARRAY_SIZE (Uuid), false);
  FUZZ_CHECK (FuzzText (Uuid, ARRAY_SIZE (Uuid)).size () == 36 || Uuid[0] == u'-');

  // A product that is named has neither padding nor '"' (it goes in quotes).
  BOOLEAN  Named = ReadMachineProduct (Product, ARRAY_SIZE (Product));
  CheckText (Product, ARRAY_SIZE (Product), true);
  std::u16string  Name = FuzzText (Product, ARRAY_SIZE (Product));
  FUZZ_CHECK (Name.front () != u' ' && Name.back () != u' ');
  FUZZ_CHECK (Named || Name == u"-");
  CheckHwIds ();
  return 0;
}
