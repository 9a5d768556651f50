/** @file
  The version record of the EC firmware: which firmware version the EC
  holds and the lowest version it may be taken back to.

  It is the one version floor of both ways the EC is updated: Morvane
  (stick, depot, shell) and the EC update driver each hold a capsule to it
  and raise it after a flash of a verified capsule, to the highest lowest
  supported version any such capsule carried. It is kept in a non-volatile
  variable readable by boot services only: once an operating system runs,
  it can neither read nor change the firmware's record.

  The variable's name is public, though: before the firmware ever wrote
  the record, an operating system could have made a variable of that name
  with other attributes (runtime access, or authenticated under a key of
  its own). Such a variable is never read as "no record": the reader says
  it is foreign, and whoever flashes must replace it or refuse.

**/

#ifndef MORVANE_EC_VERSION_RECORD_H_
#define MORVANE_EC_VERSION_RECORD_H_

#define MORVANE_EC_VERSION_ATTRIBUTES  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS)

///
/// What EcVersionRecordRead answers for a variable of the record's name
/// that is not the record (other attributes or size).
///
#define EC_VERSION_RECORD_FOREIGN  EFI_COMPROMISED_DATA

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
  The record's variable name, for a variable policy that guards it.

  @return "MorvaneEcVersion".
**/
CONST CHAR16 *
EcVersionRecordName (
  VOID
  );

/**
  Read the version record.

  Only a variable of exactly the record's size and exactly the attributes
  MORVANE_EC_VERSION_ATTRIBUTES is the record: one of that name with any
  other attributes or size was made by someone else, and could hide the
  floor it stands in for.

  @param[out] Record   The record; all zero unless EFI_SUCCESS.

  @retval EFI_SUCCESS                 The record was read.
  @retval EFI_NOT_FOUND               No variable of the record's name.
  @retval EC_VERSION_RECORD_FOREIGN   A variable of that name is not the record.
  @return                             The variable service's failure.
**/
EFI_STATUS
EcVersionRecordRead (
  OUT MORVANE_EC_VERSION_RECORD  *Record
  );

/**
  Delete a variable of the record's name that is not the record, so that
  the record can be written. EDK II's variable service lets boot services
  delete one with runtime access; one that is authenticated cannot be
  deleted without its key.

  @retval EFI_SUCCESS   No foreign variable is left (the record, if any, stays).
  @return               The variable service's failure, such as
                        EFI_SECURITY_VIOLATION for an authenticated variable.
**/
EFI_STATUS
EcVersionRecordDropForeign (
  VOID
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
