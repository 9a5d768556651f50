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

//
// The faults a test sets by name ("key=N"), for the control application
// and for the driver's settings file alike.
//
typedef struct {
  CONST char    *Key;
  UINTN         Offset;     ///< of the UINT32 field in EC_SIM_FAULTS
} EC_SIM_FAULT_KEY;

STATIC CONST EC_SIM_FAULT_KEY  mEcSimFaultKeys[] = {
  { "busy",      OFFSET_OF (EC_SIM_FAULTS, BusyReads)       },
  { "erasebusy", OFFSET_OF (EC_SIM_FAULTS, EraseBusyReads)  },
  { "stuck",     OFFSET_OF (EC_SIM_FAULTS, StuckAfterBytes) },
  { "obf",       OFFSET_OF (EC_SIM_FAULTS, ObfAfterBytes)   },
  { "late",      OFFSET_OF (EC_SIM_FAULTS, LateByte)        },
  { "latereads", OFFSET_OF (EC_SIM_FAULTS, LateReads)       },
  { "corrupt",   OFFSET_OF (EC_SIM_FAULTS, CorruptBlock)    },
  { "attempts",  OFFSET_OF (EC_SIM_FAULTS, CorruptAttempts) },
  { "old",       OFFSET_OF (EC_SIM_FAULTS, OldBlocks)       },
  { "blocks",    OFFSET_OF (EC_SIM_FAULTS, CorruptBlocks)   },
  { "skip",      OFFSET_OF (EC_SIM_FAULTS, SkipEvery)       },
  { "skipreads", OFFSET_OF (EC_SIM_FAULTS, SkipReadBacks)   },
  { "size",      OFFSET_OF (EC_SIM_FAULTS, SizeBlocks)      },
};

/**
  Set the fault a key names.

  @param[in, out] Faults      The faults.
  @param[in]      Key         The key's characters (of any width), not terminated.
  @param[in]      KeyLength   How many.
  @param[in]      Value       The value.

  @retval TRUE   The key names a fault.
**/
template <typename CHAR_TYPE>
BOOLEAN
EcSimSetFault (
  IN OUT EC_SIM_FAULTS    *Faults,
  IN     CONST CHAR_TYPE  *Key,
  IN     UINTN            KeyLength,
  IN     UINT32           Value
  )
{
  UINTN  Index;
  UINTN  At;

  for (Index = 0; Index < ARRAY_SIZE (mEcSimFaultKeys); Index++) {
    CONST char  *Name = mEcSimFaultKeys[Index].Key;
    for (At = 0; At < KeyLength && Name[At] != 0 && static_cast<UINTN>(Key[At]) == static_cast<UINTN>(Name[At]); At++) {
    }

    if ((At == KeyLength) && (Name[At] == 0)) {
      *reinterpret_cast<UINT32 *>(reinterpret_cast<UINT8 *>(Faults) + mEcSimFaultKeys[Index].Offset) = Value;
      return TRUE;
    }
  }

  return FALSE;
}

//
// The record file of a dump: this header, then the command record.
//
#define EC_SIM_RECORD_MAGIC  0x52534345   // "ECSR"

typedef struct {
  UINT32             Magic;
  UINT32             Count;
  UINT32             Overflow;
  UINT32             FlashBytes;
  EC_SIM_COUNTERS    Counters;
} EC_SIM_RECORD_HEADER;

/**
  Bytes of the flash up to the end of its last block that is not erased:
  what a dump writes of it.

  @param[in] Sim   The simulated EC.

  @return The byte count, a whole number of blocks.
**/
inline
UINT32
EcSimUsedFlashBytes (
  IN CONST EC_SIM  *Sim
  )
{
  UINT32  End;

  for (End = EC_SIM_FLASH_SIZE; End > 0; End--) {
    if (Sim->Flash[End - 1] != 0xFF) {
      break;
    }
  }

  return ALIGN_VALUE (End, EC_SIM_BLOCK_SIZE);
}

#endif
