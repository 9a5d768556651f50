/** @file
  A simulated embedded controller with its SPI flash, and an 8042 keyboard
  controller, as seen through I/O ports 0x62/0x66 and 0x64.

  The model carries out the EC flash command set on a 16 MiB NOR flash
  (erase sets 0xFF, programming can only clear bits), records every command
  byte it takes, counts port accesses, and can be told to misbehave. It is
  plain C++ without the standard library, so that the host tests and the
  UEFI driver compile the very same files.

**/

#ifndef MORVANE_EC_SIM_H_
#define MORVANE_EC_SIM_H_

extern "C" {
#include <Uefi.h>
}

#define EC_SIM_DATA_PORT     0x62
#define EC_SIM_COMMAND_PORT  0x66
#define EC_SIM_KBC_PORT      0x64

#define EC_SIM_FLASH_SIZE   0x1000000
#define EC_SIM_BLOCK_SIZE   0x10000
#define EC_SIM_BLOCK_COUNT  (EC_SIM_FLASH_SIZE / EC_SIM_BLOCK_SIZE)
#define EC_SIM_RECORD_SIZE  8192

//
// "Never" for the byte-count faults, and "no block" for the corruption fault.
//
#define EC_SIM_NEVER     0xFFFFFFFF
#define EC_SIM_NO_BLOCK  0xFFFFFFFF

//
// Status reads in which the host gives up on a byte: its first look and
// 500 polls 10 us apart (5 ms). A skipped read-back byte is withheld for
// exactly these, so each skip costs the host one time-out and the stream
// stays aligned.
//
#define EC_SIM_HOST_WAIT_READS  501

typedef struct {
  UINT8      ManufacturerId;     ///< answered to the read-ID command
  BOOLEAN    NoDevice;           ///< 0x62/0x66 read 0xFF, writes are lost
  UINT32     BusyReads;          ///< status reads that show IBF after each byte taken
  UINT32     EraseBusyReads;     ///< the same after an erase sequence
  UINT32     KbcBusyReads;       ///< the same for the keyboard controller
  UINT32     StuckAfterBytes;    ///< IBF stays set for good once this many bytes were taken
  UINT32     ObfAfterBytes;      ///< bytes presented before OBF is never set again (0: none at all)
  UINT32     LateByte;           ///< number (from 0) of the presented byte whose OBF comes late
  UINT32     LateReads;          ///< status reads for which that byte's OBF is withheld
  UINT32     CorruptBlock;       ///< first block whose programming goes wrong
  UINT32     CorruptBlocks;      ///< how many blocks from CorruptBlock go wrong, each on its own count
  UINT32     CorruptAttempts;    ///< programs of it that go wrong (EC_SIM_NEVER: all of them)
  UINT32     CorruptOffset;      ///< offset in the block of the byte that goes wrong
  UINT32     OldBlocks;          ///< blocks from 0 that start out holding old firmware
  UINT32     SkipEvery;          ///< every K-th byte of a read-back is never announced (0: none)
  UINT32     SkipReadBacks;      ///< read-backs, from the first, that skip bytes (EC_SIM_NEVER: all)
  UINT32     SizeBlocks;         ///< blocks the flash part holds, higher block numbers wrap (0: all)
  UINT32     PageBusyReads;      ///< status reads that show IBF after each 256th byte programmed
} EC_SIM_FAULTS;

//
// Bytes of one program page: a real part is busy after each.
//
#define EC_SIM_PAGE_SIZE  256

typedef enum {
  EcSimCommand,   ///< a byte written to the EC command port
  EcSimDataIn,    ///< a run of data bytes written to the EC (Count)
  EcSimDataOut,   ///< a run of data bytes read from the EC (Count)
  EcSimKbc        ///< a byte written to the keyboard controller
} EC_SIM_EVENT_KIND;

typedef struct {
  UINT8     Kind;
  UINT8     Value;
  UINT16    Reserved;
  UINT32    Count;
  UINT32    Stamp;     ///< caller's sequence number, when a stamp source is set
} EC_SIM_EVENT;

typedef struct {
  UINT64    StatusReads;
  UINT64    DataReads;
  UINT64    DataWrites;
  UINT64    CommandWrites;
  UINT64    KbcStatusReads;
  UINT64    KbcWrites;
  UINT64    Violations;      ///< bytes the host should not have sent when it did
} EC_SIM_COUNTERS;

typedef UINT32 (*EC_SIM_STAMP)(
  VOID  *Context
  );

typedef struct {
  EC_SIM_FAULTS      Faults;
  UINT8              *Flash;
  EC_SIM_COUNTERS    Counters;

  BOOLEAN            FlashMode;
  BOOLEAN            KeyboardEnabled;
  UINT8              Sequence[5];
  UINT32             SequenceLength;
  UINT32             ProgramLeft;
  UINT32             ProgramAddress;
  BOOLEAN            Corrupting;
  UINT32             ReadLeft;
  UINT32             ReadAddress;
  BOOLEAN            OutputFull;
  UINT8              Output;
  UINT32             Withheld;
  BOOLEAN            Skipping;     ///< the withheld byte is dropped once the host gave up on it
  UINT32             ReadBacks;    ///< read sequences started
  UINT32             BusyLeft;
  UINT32             KbcBusyLeft;
  UINT32             BytesTaken;
  UINT32             BytesPresented;
  UINT32             Programs[EC_SIM_BLOCK_COUNT];

  EC_SIM_STAMP       Stamp;
  VOID               *StampContext;
  UINT32             RecordLength;
  BOOLEAN            RecordOverflow;
  EC_SIM_EVENT       Record[EC_SIM_RECORD_SIZE];
} EC_SIM;

/**
  Fill in the faults of a well-behaved EC.

  @param[out] Faults   The settings to fill.
**/
VOID
EcSimDefaultFaults (
  OUT EC_SIM_FAULTS  *Faults
  );

/**
  The byte of "old firmware" at a flash offset: a pattern with bits both
  set and clear, so that programming over it without an erase shows.

  @param[in] Offset   The flash offset.

  @return The byte the flash holds there before the first erase.
**/
inline UINT8
EcSimOldByte (
  IN UINT32  Offset
  )
{
  return static_cast<UINT8>((Offset * 0x3B + 0x11) ^ (Offset >> 16));
}

/**
  Reset the model to power-on state: flash erased but for the old firmware
  the faults ask for, nothing recorded.

  @param[out] Sim      The model.
  @param[in]  Flash    EC_SIM_FLASH_SIZE bytes of storage for the flash.
  @param[in]  Faults   The faults to apply, or NULL for none.
**/
VOID
EcSimReset (
  OUT EC_SIM               *Sim,
  IN  UINT8                *Flash,
  IN  CONST EC_SIM_FAULTS  *Faults OPTIONAL
  );

/**
  Start a new record: forget the events and counters, keep the flash, the
  faults and the device state.

  @param[in, out] Sim   The model.
**/
VOID
EcSimNewRecord (
  IN OUT EC_SIM  *Sim
  );

/**
  A port read as the host sees it.

  @param[in, out] Sim    The model.
  @param[in]      Port   0x62, 0x66 or 0x64.

  @return The byte the device puts on the bus.
**/
UINT8
EcSimRead (
  IN OUT EC_SIM  *Sim,
  IN     UINT64  Port
  );

/**
  A port write from the host.

  @param[in, out] Sim     The model.
  @param[in]      Port    0x62, 0x66 or 0x64.
  @param[in]      Value   The byte.
**/
VOID
EcSimWrite (
  IN OUT EC_SIM  *Sim,
  IN     UINT64  Port,
  IN     UINT8   Value
  );

/**
  Record a keyboard-controller command that a real 8042 carries out.

  @param[in, out] Sim     The model.
  @param[in]      Value   The byte written to port 0x64.
**/
VOID
EcSimRecordKbc (
  IN OUT EC_SIM  *Sim,
  IN     UINT8   Value
  );

#endif
