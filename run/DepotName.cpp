/** @file
  The names a run's files take at a depot: DAY/BASE.suffix, BASE being
  <serial>-<MAC>-<YYYYMMDD>-<HHMMSS>-<PART> (or <serial>-<MAC>-nodate-
  <boot count>-<PART> without a clock), PART eight hex digits drawn afresh
  for every name the run tries.

  Placeholder serials ("Default string") repeat across machines, the
  network card's address does not; a frozen or unreadable clock repeats
  the time from attempt to attempt, the drawn part does not. The part
  comes from the firmware's random number generator, so that nobody can
  take a machine's next names before it does: serial and address are in
  the depot's public listing.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/Rng.h>
}

#include "Depot.h"
#include "DepotName.h"
#include "EcRun.h"
#include "RunClock.h"
#include "Smbios.h"
#include "Ucs2.h"

#define FIELD_CHARS        80
#define SERIAL_NAME_CHARS  24

//
// The longest base: serial, MAC, date and time (or nodate and boot count),
// part, and the dashes between them; with its day folder and the longest
// suffix it stays a name DepotPut takes.
//
static_assert (
  SERIAL_NAME_CHARS + 1 + (DEPOT_MAC_CHARS - 1) + 1 + 15 + 1 + 8 <= DEPOT_BASE_CHARS,
  "a base name fits DEPOT_BASE_CHARS"
  );
static_assert (
  DEPOT_DAY_CHARS + 1 + DEPOT_BASE_CHARS + sizeof (".incomplete.log") - 1 <= DEPOT_NAME_CHARS,
  "a file name fits DEPOT_NAME_CHARS"
  );

/**
  Whether a character may stand in a depot name as it is.
**/
STATIC
BOOLEAN
IsNameChar (
  IN CHAR16  C
  )
{
  return (C >= u'A' && C <= u'Z') || (C >= u'a' && C <= u'z') || (C >= u'0' && C <= u'9') ||
         (C == u'.') || (C == u'_') || (C == u'-');
}

/**
  The serial as it stands in a depot name: at most SERIAL_NAME_CHARS
  characters, anything but [A-Za-z0-9._-] as '_', and a first '.' or '-'
  as '_' (a dot-name is hidden, a dash reads as an option); "none" when the
  machine has no serial.

  @param[out] Name   Receives it; SERIAL_NAME_CHARS + 1 characters.
**/
STATIC
VOID
SerialForName (
  OUT CHAR8  *Name
  )
{
  CHAR16  Serial[FIELD_CHARS];
  CHAR16  Uuid[FIELD_CHARS];
  UINTN   Index;

  ReadMachineIdentity (Serial, ARRAY_SIZE (Serial), Uuid, ARRAY_SIZE (Uuid));
  if (StrCmp (Serial, Ucs2 (u"-")) == 0) {
    AsciiStrCpyS (Name, SERIAL_NAME_CHARS + 1, "none");
    return;
  }

  for (Index = 0; Serial[Index] != 0 && Index < SERIAL_NAME_CHARS; Index++) {
    Name[Index] = IsNameChar (Serial[Index]) ? static_cast<CHAR8>(Serial[Index]) : '_';
  }

  Name[Index] = 0;
  if ((Name[0] == '.') || (Name[0] == '-')) {
    Name[0] = '_';
  }
}

/**
  A name's drawn part: four bytes from the firmware's random number
  generator. Without one, the monotonic count (never the same twice in a
  boot; its high half is the boot count), the cycle counter and the clock,
  mixed so that every bit of them moves every bit of the part: unique, and
  as hard to foresee as the cycle counter is, but no secret.

  @param[in] Start   The run's start time.

  @return The part.
**/
STATIC
UINT32
DrawNamePart (
  IN CONST EFI_TIME  *Start
  )
{
  EFI_RNG_PROTOCOL  *Rng;
  UINT8             Bytes[4];
  UINT64            Count;
  UINT64            Tsc;
  UINT64            Mix;

  if (!EFI_ERROR (gBS->LocateProtocol (&gEfiRngProtocolGuid, NULL, reinterpret_cast<VOID **>(&Rng))) &&
      !EFI_ERROR (Rng->GetRNG (Rng, NULL, sizeof (Bytes), Bytes)))
  {
    return Bytes[0] | (Bytes[1] << 8) | (Bytes[2] << 16) | (static_cast<UINT32>(Bytes[3]) << 24);
  }

  Count = 0;
  gBS->GetNextMonotonicCount (&Count);
  Tsc = AsmReadTsc ();
  Mix = Count ^ LShiftU64 (Tsc, 17) ^ RShiftU64 (Tsc, 47) ^ LShiftU64 (Start->Nanosecond, 24) ^
        (Start->Second | (Start->Minute << 8) | (Start->Hour << 16));

  //
  // A 64-bit finaliser: consecutive counts give unrelated parts.
  //
  Mix ^= RShiftU64 (Mix, 33);
  Mix *= 0xFF51AFD7ED558CCDULL;
  Mix ^= RShiftU64 (Mix, 33);
  Mix *= 0xC4CEB9FE1A85EC53ULL;
  Mix ^= RShiftU64 (Mix, 33);
  return static_cast<UINT32>(Mix);
}

VOID
DrawDepotName (
  IN  CONST EFI_TIME  *Start,
  OUT CHAR8           *Day,
  OUT CHAR8           *Base
  )
{
  CHAR8   Serial[SERIAL_NAME_CHARS + 1];
  CHAR16  Mac[DEPOT_MAC_CHARS];
  UINT64  Count;
  UINT32  Part;

  SerialForName (Serial);
  DepotMacText (Mac, ARRAY_SIZE (Mac));
  Part = DrawNamePart (Start);
  if (TimeIsKnown (Start)) {
    AsciiSPrint (Day, DEPOT_DAY_CHARS + 1, "%04d%02d%02d", Start->Year, Start->Month, Start->Day);
    AsciiSPrint (
      Base,
      DEPOT_BASE_CHARS + 1,
      "%a-%s-%a-%02d%02d%02d-%08X",
      Serial,
      Mac,
      Day,
      Start->Hour,
      Start->Minute,
      Start->Second,
      Part
      );
    return;
  }

  //
  // The high half of the monotonic count is kept by the firmware across
  // boots and grows by one each boot.
  //
  Count = 0;
  gBS->GetNextMonotonicCount (&Count);
  AsciiStrCpyS (Day, DEPOT_DAY_CHARS + 1, "nodate");
  AsciiSPrint (Base, DEPOT_BASE_CHARS + 1, "%a-%s-nodate-%08X-%08X", Serial, Mac, static_cast<UINT32>(RShiftU64 (Count, 32)), Part);
}
