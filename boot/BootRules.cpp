/** @file
  The boot mode's rules, apart from the firmware so that host tests cover
  them: which banner a run ends with, what a key does then, when a save is
  taken and what it is called.

**/

extern "C" {
#include <Uefi.h>
#include <Library/PrintLib.h>
}

#include "BootMode.h"
#include "Ucs2.h"

STATIC CONST char16_t  *CONST  mBannerTexts[] = {
  u"EC FLASH DONE. Remove power, then reboot the machine.",
  u"EC ALREADY UP TO DATE. Nothing was changed.",
  u"NOTHING WAS CHANGED. The machine may be switched off.",
  u"EC FLASH FAILED. DO NOT REMOVE POWER.",
  u"NO IMAGE FOR THIS MACHINE. Nothing was changed."
};

BOOT_BANNER
BootBanner (
  IN EFI_STATUS  Status,
  IN BOOLEAN     ErasedThisRun,
  IN BOOLEAN     ErasedBefore
  )
{
  BOOLEAN  Erased;

  Erased = ErasedThisRun || ErasedBefore;
  if (!EFI_ERROR (Status)) {
    return Erased ? BannerDone : BannerUpToDate;
  }

  return Erased ? BannerFailed : BannerNothingChanged;
}

CONST CHAR16 *
BootBannerText (
  IN BOOT_BANNER  Banner
  )
{
  return Ucs2 (mBannerTexts[Banner]);
}

BOOLEAN
BootRetries (
  IN BOOT_BANNER  Banner
  )
{
  return (Banner == BannerFailed) || (Banner == BannerNothingChanged);
}

BOOLEAN
BootSaves (
  IN BOOLEAN  SaveWanted,
  IN BOOLEAN  ErasedEver
  )
{
  return SaveWanted && !ErasedEver;
}

VOID
BootSavePath (
  IN  UINTN   Number,
  OUT CHAR16  *Path,
  IN  UINTN   Size
  )
{
  UnicodeSPrint (Path, Size, Ucs2 (u"\\SAVE%03d.BIN"), Number);
}
