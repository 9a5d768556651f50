/** @file
  The private protocol through which the control application reaches the
  simulated EC held by the interposer driver.

**/

#ifndef MORVANE_EC_SIM_PROTOCOL_H_
#define MORVANE_EC_SIM_PROTOCOL_H_

#include "EcSim.h"

#define MORVANE_EC_SIM_PROTOCOL_GUID \
  { 0x7c3f0a52, 0x1d84, 0x4e6b, { 0x93, 0x2e, 0x5a, 0x71, 0xc8, 0x0d, 0x4f, 0x16 } }

typedef struct _MORVANE_EC_SIM_PROTOCOL MORVANE_EC_SIM_PROTOCOL;

/**
  Power the simulated EC on afresh with the given faults.

  @param[in] This     The protocol.
  @param[in] Faults   The faults to apply.
**/
typedef
VOID
(EFIAPI *MORVANE_EC_SIM_RESET)(
  IN MORVANE_EC_SIM_PROTOCOL  *This,
  IN CONST EC_SIM_FAULTS      *Faults
  );

struct _MORVANE_EC_SIM_PROTOCOL {
  MORVANE_EC_SIM_RESET    Reset;
  EC_SIM                  *Sim;
};

extern EFI_GUID  gMorvaneEcSimProtocolGuid;

#endif
