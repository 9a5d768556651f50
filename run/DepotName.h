/** @file
  A run's name at the depot: its day folder and a base no other run draws.

**/

#ifndef MORVANE_DEPOT_NAME_H_
#define MORVANE_DEPOT_NAME_H_

extern "C" {
#include <Uefi.h>
}

#include "Depot.h"

/**
  Draw a fresh name for a run's files at the depot: its day folder and a
  base of serial, the network card's address, the start time (or "nodate"
  and the boot count) and a part drawn for this name alone.

  @param[in]  Start   The run's start time.
  @param[out] Day     Receives the folder; DEPOT_DAY_CHARS + 1 characters.
  @param[out] Base    Receives the base; DEPOT_BASE_CHARS + 1 characters.
**/
VOID
DrawDepotName (
  IN  CONST EFI_TIME  *Start,
  OUT CHAR8           *Day,
  OUT CHAR8           *Base
  );

#endif
