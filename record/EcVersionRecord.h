/** @file
  The version record of the EC firmware: which firmware version the EC
  holds and the lowest version it may be taken back to.

  Morvane writes it after every flash, and the EC update driver reads it to
  answer the firmware-update interface (and so the ESRT). It is kept in a
  non-volatile variable readable by boot services only: once an operating
  system runs, nothing can create or change it, so the version that update
  tools see is the one the firmware wrote.

**/

#ifndef MORVANE_EC_VERSION_RECORD_H_
#define MORVANE_EC_VERSION_RECORD_H_

#define MORVANE_EC_VERSION_ATTRIBUTES  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS)

///
/// The variable's data, exactly this size.
///
typedef struct {
  UINT32    Version;
  UINT32    LowestSupported;
} MORVANE_EC_VERSION_RECORD;

// Defined by the build (AutoGen) from MorvanePkg.dec, with C linkage.
extern "C" {
extern EFI_GUID  gMorvaneEcVersionGuid;
}

/**
  Read the version record.

  Only a variable of exactly the record's size and exactly the attributes
  MORVANE_EC_VERSION_ATTRIBUTES counts: a variable of that name that an
  operating system made (with runtime access) is not the firmware's record.

  @param[out] Record   The record; all zero unless EFI_SUCCESS.

  @retval EFI_SUCCESS     The record was read.
  @retval EFI_NOT_FOUND   There is no record (none written yet, or the
                          variable is not the firmware's).
  @return                 The variable service's failure.
**/
EFI_STATUS
EcVersionRecordRead (
  OUT MORVANE_EC_VERSION_RECORD  *Record
  );

/**
  Write the version record, replacing a variable of the same name that is
  not the firmware's (other attributes or size).

  @param[in] Record   The record to keep.

  @retval EFI_SUCCESS   The record is written.
  @return               The variable service's failure.
**/
EFI_STATUS
EcVersionRecordWrite (
  IN CONST MORVANE_EC_VERSION_RECORD  *Record
  );

#endif
