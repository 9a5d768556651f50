/** @file
  What the fuzz targets share: the fakes reset as a freshly loaded image
  finds them, and a check that ends the run with its reason, so that a
  wrong result counts as a crash just as a sanitizer report does.

**/

#ifndef MORVANE_FUZZ_H_
#define MORVANE_FUZZ_H_

#include <cstdio>
#include <cstdlib>
#include <string>

#include "EcSim.h"
#include "Firmware.h"

#define FUZZ_CHECK(Condition)                                                                    \
  do {                                                                                           \
    if (!(Condition)) {                                                                          \
      std::fprintf (stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, #Condition); \
      std::abort ();                                                                             \
    }                                                                                            \
  } while (0)

/**
  Reset every fake and the product's module state. No target drives the
  device, so the simulated EC is never reset and has no flash.
**/
inline void
FuzzReset (
  )
{
  static EC_SIM  Sim;

  Fake::Reset (&Sim);
}

/**
  The characters of a CHAR16 text of at most Size characters with its
  terminator; checks that the terminator is there.
**/
inline std::u16string
FuzzText (
  const CHAR16  *Text,
  size_t        Size
  )
{
  size_t  Length = 0;

  while (Length < Size && Text[Length] != 0) {
    Length++;
  }

  FUZZ_CHECK (Length < Size);
  return std::u16string (reinterpret_cast<const char16_t *>(Text), Length);
}

#endif
