/** @file
  The simulated EC, its NOR flash and the keyboard controller.

**/

#include "EcSim.h"

#define SIM_STATUS_OBF       0x01
#define SIM_STATUS_IBF       0x02
#define SIM_NO_DEVICE        0xFF

#define SIM_CMD_ENTER    0xDC
#define SIM_CMD_EXIT     0xFE
#define SIM_OP_ERASE     0x01
#define SIM_OP_PROGRAM   0x02
#define SIM_OP_READ      0x03
#define SIM_OP_READ_ID   0x04
#define SIM_SPI_ERASE    0xD8
#define SIM_SPI_PAGE     0x02
#define SIM_SPI_AAI      0xAD
#define SIM_SST_ID       0xBF
#define SIM_KBC_DISABLE  0xAD
#define SIM_KBC_ENABLE   0xAE

VOID
EcSimDefaultFaults (
  OUT EC_SIM_FAULTS  *Faults
  )
{
  Faults->ManufacturerId  = 0xEF;
  Faults->NoDevice        = FALSE;
  Faults->BusyReads       = 0;
  Faults->EraseBusyReads  = 0;
  Faults->KbcBusyReads    = 0;
  Faults->StuckAfterBytes = EC_SIM_NEVER;
  Faults->ObfAfterBytes   = EC_SIM_NEVER;
  Faults->LateByte        = EC_SIM_NEVER;
  Faults->LateReads       = 0;
  Faults->CorruptBlock    = EC_SIM_NO_BLOCK;
  Faults->CorruptBlocks   = 1;
  Faults->CorruptAttempts = 0;
  Faults->CorruptOffset   = 0x100;
  Faults->OldBlocks       = 0;
  Faults->SkipEvery       = 0;
  Faults->SkipReadBacks   = EC_SIM_NEVER;
  Faults->SizeBlocks      = 0;
  Faults->PageBusyReads   = 0;
}

VOID
EcSimReset (
  OUT EC_SIM               *Sim,
  IN  UINT8                *Flash,
  IN  CONST EC_SIM_FAULTS  *Faults OPTIONAL
  )
{
  UINT8  *Byte;
  UINTN  Index;

  //
  // Byte-wise on purpose: the model links against no library at all.
  //
  Byte = reinterpret_cast<UINT8 *>(Sim);
  for (Index = 0; Index < sizeof (*Sim); Index++) {
    Byte[Index] = 0;
  }

  Sim->Flash           = Flash;
  Sim->KeyboardEnabled = TRUE;
  if (Faults != NULL) {
    Sim->Faults = *Faults;
  } else {
    EcSimDefaultFaults (&Sim->Faults);
  }

  for (Index = 0; Index < EC_SIM_FLASH_SIZE; Index++) {
    Flash[Index] = (Index < static_cast<UINT64>(Sim->Faults.OldBlocks) * EC_SIM_BLOCK_SIZE) ? EcSimOldByte (static_cast<UINT32>(Index)) : 0xFF;
  }
}

VOID
EcSimNewRecord (
  IN OUT EC_SIM  *Sim
  )
{
  EC_SIM_COUNTERS  None = {};

  Sim->Counters       = None;
  Sim->RecordLength   = 0;
  Sim->RecordOverflow = FALSE;
}

/**
  Append an event, folding consecutive data bytes of one direction into
  one run.
**/
STATIC
VOID
Record (
  IN OUT EC_SIM  *Sim,
  IN     UINT8   Kind,
  IN     UINT8   Value
  )
{
  EC_SIM_EVENT  *Last;
  BOOLEAN       IsRun;

  IsRun = (Kind == EcSimDataIn) || (Kind == EcSimDataOut);
  if (IsRun && (Sim->RecordLength > 0)) {
    Last = &Sim->Record[Sim->RecordLength - 1];
    if (Last->Kind == Kind) {
      Last->Count++;
      return;
    }
  }

  if (Sim->RecordLength == EC_SIM_RECORD_SIZE) {
    Sim->RecordOverflow = TRUE;
    return;
  }

  Last        = &Sim->Record[Sim->RecordLength++];
  Last->Kind  = Kind;
  Last->Value = IsRun ? 0 : Value;
  Last->Count = 1;
  Last->Stamp = (Sim->Stamp != NULL) ? Sim->Stamp (Sim->StampContext) : 0;
}

STATIC
BOOLEAN
InputStuck (
  IN CONST EC_SIM  *Sim
  )
{
  return Sim->BytesTaken >= Sim->Faults.StuckAfterBytes;
}

/**
  Put the next byte on the data port, unless OBF has died.
**/
STATIC
VOID
Present (
  IN OUT EC_SIM  *Sim,
  IN     UINT8   Value
  )
{
  if (Sim->BytesPresented >= Sim->Faults.ObfAfterBytes) {
    return;
  }

  Sim->Skipping   = FALSE;
  Sim->Withheld   = (Sim->BytesPresented == Sim->Faults.LateByte) ? Sim->Faults.LateReads : 0;
  Sim->BytesPresented++;
  Sim->Output     = Value;
  Sim->OutputFull = TRUE;
}

/**
  Put the next byte of a read-back on the data port. A byte that the skip
  fault drops is withheld until the host has given up on it.
**/
STATIC
VOID
PresentReadBack (
  IN OUT EC_SIM  *Sim
  )
{
  UINT32  Offset;

  Offset = Sim->ReadAddress % EC_SIM_BLOCK_SIZE;
  Present (Sim, Sim->Flash[Sim->ReadAddress++]);
  if ((Sim->Faults.SkipEvery != 0) && (Sim->ReadBacks <= Sim->Faults.SkipReadBacks) &&
      ((Offset + 1) % Sim->Faults.SkipEvery == 0))
  {
    Sim->Skipping = TRUE;
    Sim->Withheld = EC_SIM_HOST_WAIT_READS;
  }
}

/**
  After a byte is taken (or dropped), present the next one of the read-back.
**/
STATIC
VOID
NextReadBack (
  IN OUT EC_SIM  *Sim
  )
{
  Sim->OutputFull = FALSE;
  if (Sim->ReadLeft > 0) {
    Sim->ReadLeft--;
    PresentReadBack (Sim);
  }
}

//
// A part smaller than the block number's range ignores the high address
// bits, as SPI flash does: block numbers wrap.
//
STATIC
UINT32
BlockAddress (
  IN CONST EC_SIM  *Sim,
  IN UINT8         Block
  )
{
  UINT32  Blocks;

  Blocks = ((Sim->Faults.SizeBlocks == 0) || (Sim->Faults.SizeBlocks > EC_SIM_BLOCK_COUNT)) ? EC_SIM_BLOCK_COUNT
                                                                                             : Sim->Faults.SizeBlocks;
  return (static_cast<UINT32>(Block) % Blocks) * EC_SIM_BLOCK_SIZE;
}

STATIC
VOID
Erase (
  IN OUT EC_SIM  *Sim
  )
{
  UINT32  Address;
  UINT32  Index;

  if ((Sim->Sequence[1] != SIM_SPI_ERASE) || (Sim->Sequence[3] != 0) || (Sim->Sequence[4] != 0)) {
    Sim->Counters.Violations++;
    return;
  }

  Address = BlockAddress (Sim, Sim->Sequence[2]);
  for (Index = 0; Index < EC_SIM_BLOCK_SIZE; Index++) {
    Sim->Flash[Address + Index] = 0xFF;
  }

  Sim->BusyLeft = Sim->Faults.EraseBusyReads;
}

STATIC
VOID
StartProgram (
  IN OUT EC_SIM  *Sim
  )
{
  UINT8   Block;
  UINT8   Expected;

  Block    = Sim->Sequence[2];
  Expected = (Sim->Faults.ManufacturerId == SIM_SST_ID) ? SIM_SPI_AAI : SIM_SPI_PAGE;
  if ((Sim->Sequence[1] != Expected) || (Sim->Sequence[3] != 0) || (Sim->Sequence[4] != 0)) {
    Sim->Counters.Violations++;
  }

  Sim->Corrupting     = (Block >= Sim->Faults.CorruptBlock) &&
                        (Block - Sim->Faults.CorruptBlock < Sim->Faults.CorruptBlocks) &&
                        (Sim->Programs[Block] < Sim->Faults.CorruptAttempts);
  Sim->Programs[Block]++;
  Sim->ProgramLeft    = EC_SIM_BLOCK_SIZE;
  Sim->ProgramAddress = BlockAddress (Sim, Block);
}

STATIC
VOID
StartRead (
  IN OUT EC_SIM  *Sim
  )
{
  Sim->ReadBacks++;
  Sim->ReadAddress = BlockAddress (Sim, Sim->Sequence[1]);
  Sim->ReadLeft    = EC_SIM_BLOCK_SIZE - 1;
  PresentReadBack (Sim);
}

/**
  Bytes a sequence needs before it runs, by its first byte.
**/
STATIC
UINT32
SequenceSize (
  IN UINT8  First
  )
{
  switch (First) {
    case SIM_OP_ERASE:
    case SIM_OP_PROGRAM:
      return 5;
    case SIM_OP_READ:
      return 2;
    default:
      return 1;
  }
}

STATIC
VOID
RunSequence (
  IN OUT EC_SIM  *Sim
  )
{
  if (!Sim->FlashMode && (Sim->Sequence[0] != SIM_CMD_ENTER) && (Sim->Sequence[0] != SIM_CMD_EXIT)) {
    Sim->Counters.Violations++;
  }

  switch (Sim->Sequence[0]) {
    case SIM_CMD_ENTER:
      Sim->FlashMode = TRUE;
      break;
    case SIM_CMD_EXIT:
      Sim->FlashMode = FALSE;
      break;
    case SIM_OP_READ_ID:
      Present (Sim, Sim->Faults.ManufacturerId);
      break;
    case SIM_OP_ERASE:
      Erase (Sim);
      break;
    case SIM_OP_PROGRAM:
      StartProgram (Sim);
      break;
    case SIM_OP_READ:
      StartRead (Sim);
      break;
    default:
      Sim->Counters.Violations++;
      break;
  }
}

STATIC
VOID
TakeCommand (
  IN OUT EC_SIM  *Sim,
  IN     UINT8   Value
  )
{
  Record (Sim, EcSimCommand, Value);
  if ((Sim->ProgramLeft != 0) || (Sim->ReadLeft != 0)) {
    //
    // A command in the middle of a data stream: the stream is abandoned.
    //
    Sim->Counters.Violations++;
    Sim->ProgramLeft = 0;
    Sim->ReadLeft    = 0;
  }

  Sim->Sequence[Sim->SequenceLength++] = Value;
  if (Sim->SequenceLength == SequenceSize (Sim->Sequence[0])) {
    Sim->SequenceLength = 0;
    RunSequence (Sim);
  }
}

STATIC
VOID
TakeData (
  IN OUT EC_SIM  *Sim,
  IN     UINT8   Value
  )
{
  UINT32  Offset;

  Record (Sim, EcSimDataIn, Value);
  if (Sim->ProgramLeft == 0) {
    Sim->Counters.Violations++;
    return;
  }

  //
  // A corrupted program writes the complement of one byte: always wrong,
  // and still a legal NOR write on an erased block.
  //
  Offset = EC_SIM_BLOCK_SIZE - Sim->ProgramLeft;
  if (Sim->Corrupting && (Offset == Sim->Faults.CorruptOffset)) {
    Value = static_cast<UINT8>(~Value);
  }

  Sim->Flash[Sim->ProgramAddress++] &= Value;
  Sim->ProgramLeft--;
  if (((Sim->ProgramLeft % EC_SIM_PAGE_SIZE) == 0) && (Sim->Faults.PageBusyReads > 0)) {
    Sim->BusyLeft = Sim->Faults.PageBusyReads;
  }
}

STATIC
UINT8
ReadStatus (
  IN OUT EC_SIM  *Sim
  )
{
  UINT8  Status;

  Sim->Counters.StatusReads++;
  Status = 0;
  if (Sim->OutputFull) {
    if (Sim->Withheld > 0) {
      if ((--Sim->Withheld == 0) && Sim->Skipping) {
        Sim->Skipping = FALSE;
        NextReadBack (Sim);
      }
    } else {
      Status = SIM_STATUS_OBF;
    }
  }

  if (InputStuck (Sim)) {
    Status |= SIM_STATUS_IBF;
  } else if (Sim->BusyLeft > 0) {
    Sim->BusyLeft--;
    Status |= SIM_STATUS_IBF;
  }

  return Status;
}

STATIC
UINT8
ReadData (
  IN OUT EC_SIM  *Sim
  )
{
  UINT8  Value;

  Sim->Counters.DataReads++;
  Value = Sim->Output;
  if (!Sim->OutputFull) {
    return Value;
  }

  Record (Sim, EcSimDataOut, Value);
  NextReadBack (Sim);
  return Value;
}

STATIC
UINT8
ReadKbcStatus (
  IN OUT EC_SIM  *Sim
  )
{
  Sim->Counters.KbcStatusReads++;
  if (Sim->KbcBusyLeft > 0) {
    Sim->KbcBusyLeft--;
    return SIM_STATUS_IBF;
  }

  return 0;
}

UINT8
EcSimRead (
  IN OUT EC_SIM  *Sim,
  IN     UINT64  Port
  )
{
  if (Port == EC_SIM_KBC_PORT) {
    return ReadKbcStatus (Sim);
  }

  if (Sim->Faults.NoDevice) {
    return SIM_NO_DEVICE;
  }

  return (Port == EC_SIM_COMMAND_PORT) ? ReadStatus (Sim) : ReadData (Sim);
}

VOID
EcSimRecordKbc (
  IN OUT EC_SIM  *Sim,
  IN     UINT8   Value
  )
{
  Sim->Counters.KbcWrites++;
  Record (Sim, EcSimKbc, Value);
}

/**
  The 8042 side: take a command behind its own IBF.
**/
STATIC
VOID
TakeKbcCommand (
  IN OUT EC_SIM  *Sim,
  IN     UINT8   Value
  )
{
  EcSimRecordKbc (Sim, Value);
  if (Sim->KbcBusyLeft > 0) {
    Sim->Counters.Violations++;
  }

  if (Value == SIM_KBC_DISABLE) {
    Sim->KeyboardEnabled = FALSE;
  } else if (Value == SIM_KBC_ENABLE) {
    Sim->KeyboardEnabled = TRUE;
  }

  Sim->KbcBusyLeft = Sim->Faults.KbcBusyReads;
}

VOID
EcSimWrite (
  IN OUT EC_SIM  *Sim,
  IN     UINT64  Port,
  IN     UINT8   Value
  )
{
  if (Port == EC_SIM_KBC_PORT) {
    TakeKbcCommand (Sim, Value);
    return;
  }

  if (Sim->Faults.NoDevice) {
    return;
  }

  if (Port == EC_SIM_COMMAND_PORT) {
    Sim->Counters.CommandWrites++;
  } else {
    Sim->Counters.DataWrites++;
  }

  //
  // A byte written while IBF is still set overruns the input buffer and
  // is lost.
  //
  if (InputStuck (Sim) || (Sim->BusyLeft > 0)) {
    Sim->Counters.Violations++;
    return;
  }

  Sim->BytesTaken++;
  Sim->BusyLeft = Sim->Faults.BusyReads;
  if (Port == EC_SIM_COMMAND_PORT) {
    TakeCommand (Sim, Value);
  } else {
    TakeData (Sim, Value);
  }
}
