/** @file
  The man page that the shell shows for "Morvane -?" and "help Morvane".

  The shell finds it in the string package of the image's HII resource
  section (Morvane.uni); the build keeps only strings that code refers to.

**/

extern "C" {
#include <Uefi.h>
}

GLOBAL_REMOVE_IF_UNREFERENCED EFI_STRING_ID  mStringHelpTokenId = STRING_TOKEN (STR_GET_HELP_MORVANE);
