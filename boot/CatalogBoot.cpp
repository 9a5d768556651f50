/** @file
  The machine's side of a catalogue: from the index and what the machine
  knows of itself (its hardware IDs, the floor in its version record, its
  identity) to the one capsule it fetches, or to nothing.

  Nothing from the index is trusted: the capsule it names is then run as
  image=NAME crc32=CRC32 is, with the signature, machine and floor checks
  of every run.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiLib.h>
}

#include "CatalogBoot.h"
#include "EcRun.h"
#include "EcVersionRecord.h"
#include "Ucs2.h"

#define IDENTITY_FIELD_CHARS  80

/**
  What the machine knows of itself for the choice.

  @param[out] Ids        Its hardware IDs.
  @param[out] Machine    The rest; Identity points into Identity.
  @param[out] Identity   Room for its identity.

  @return EFI_SUCCESS, or why it cannot tell (the screen says so).
**/
STATIC
EFI_STATUS
ReadMachine (
  OUT EC_HWIDS         *Ids,
  OUT CATALOG_MACHINE  *Machine,
  OUT CHAR8            *Identity
  )
{
  EFI_STATUS                 Status;
  EC_HWID_FIELDS             Fields;
  MORVANE_EC_VERSION_RECORD  Record;
  CHAR16                     Serial[IDENTITY_FIELD_CHARS];
  CHAR16                     Uuid[IDENTITY_FIELD_CHARS];

  ZeroMem (Machine, sizeof (*Machine));
  Status = ReadMachineHwIds (&Fields, Ids);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"The hardware IDs of this machine could not be computed (%r); nothing was done.\r\n"), Status);
    return Status;
  }

  //
  // A record that cannot be read could hide the floor it sets. A variable
  // of its name that the firmware did not make (an operating system can
  // make one before the first record) is no record and holds no floor: the
  // run replaces it, or refuses with its own line, before any port.
  //
  Status = EcVersionRecordRead (&Record);
  if (EFI_ERROR (Status) && (Status != EFI_NOT_FOUND) && (Status != EC_VERSION_RECORD_FOREIGN)) {
    Print (Ucs2 (u"The EC version record could not be read (%r); nothing was done.\r\n"), Status);
    return Status;
  }

  Machine->HasRecord = !EFI_ERROR (Status);
  if (Machine->HasRecord) {
    Machine->Version         = Record.Version;
    Machine->LowestSupported = Record.LowestSupported;
  }

  ReadMachineIdentity (Serial, ARRAY_SIZE (Serial), Uuid, ARRAY_SIZE (Uuid));
  CatalogIdentity (Uuid, Serial, Identity, CATALOG_IDENTITY_CHARS + 1);
  Machine->Ids      = Ids;
  Machine->Identity = Identity;
  return EFI_SUCCESS;
}

/**
  Name the chosen capsule in the settings as image=NAME crc32=CRC32.
**/
STATIC
VOID
TakeEntry (
  IN     CONST CATALOG_ENTRY  *Entry,
  IN OUT MORVANE_SETTINGS     *Settings,
  OUT    BOOT_CATALOG         *Catalog
  )
{
  UINTN  Index;

  for (Index = 0; Entry->Name[Index] != 0; Index++) {
    Settings->Image[Index] = static_cast<CHAR16>(Entry->Name[Index]);
  }

  Settings->Image[Index] = 0;
  Settings->HasCrc       = TRUE;
  Settings->Crc          = Entry->Crc;
  Catalog->Version       = Entry->Version;
  Catalog->Size          = Entry->Size;
}

EFI_STATUS
ChooseFromIndex (
  IN     CONST UINT8       *Text,
  IN     UINTN             Size,
  IN OUT MORVANE_SETTINGS  *Settings,
  OUT    BOOT_CATALOG      *Catalog
  )
{
  EFI_STATUS       Status;
  EC_CATALOG       *Index;
  EC_HWIDS         Ids;
  CATALOG_MACHINE  Machine;
  CHAR8            Identity[CATALOG_IDENTITY_CHARS + 1];
  CHAR16           Refusal[CATALOG_REFUSAL_CHARS];
  UINTN            Chosen;

  ZeroMem (Catalog, sizeof (*Catalog));
  Catalog->Used = TRUE;
  Index         = static_cast<EC_CATALOG *>(AllocatePool (sizeof (EC_CATALOG)));
  if (Index == NULL) {
    Print (Ucs2 (u"No memory for %s; nothing was done.\r\n"), Settings->Catalog);
    return EFI_OUT_OF_RESOURCES;
  }

  Status = CatalogParse (Text, Size, Settings->Catalog, Index, Refusal, sizeof (Refusal));
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"%s"), Refusal);
  } else {
    Status = ReadMachine (&Ids, &Machine, Identity);
  }

  if (!EFI_ERROR (Status)) {
    Chosen          = 0;
    Catalog->Choice = CatalogChoose (Index, &Machine, &Chosen);
    if (Catalog->Choice != CatalogNoImage) {
      TakeEntry (&Index->Entry[Chosen], Settings, Catalog);
    }

    //
    // The record names the version the last good flash left, not what the
    // EC holds now: power lost during a flash, or an update that failed
    // after its erase, leaves it as it was. With update=yes the run
    // compares every block before it erases any, so the EC itself says
    // "up to date", and a half-written one is mended.
    //
    if ((Catalog->Choice == CatalogUpToDate) && Settings->Update) {
      Catalog->Choice = CatalogFetch;
    }
  }

  FreePool (Index);
  return Status;
}
