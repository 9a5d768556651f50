/** @file
  The simulated EC's settings and dumps through a FAT volume, for runs
  with no shell to start the control application.

**/

#ifndef MORVANE_EC_SIM_VOLUME_H_
#define MORVANE_EC_SIM_VOLUME_H_

#include "EcSim.h"

/**
  Once, at the EC's first access: power the EC on afresh with the faults of
  the first volume that holds ECSIM.CFG, and dump to that volume from then
  on. Without the file the EC stays as it is.

  @param[in, out] Sim   The simulated EC.
**/
VOID
EcSimTakeVolumeSettings (
  IN OUT EC_SIM  *Sim
  );

/**
  Write SIM.FL and SIM.REC to the settings' volume; nothing without one.

  @param[in] Sim   The simulated EC.
**/
VOID
EcSimDumpToVolume (
  IN CONST EC_SIM  *Sim
  );

#endif
