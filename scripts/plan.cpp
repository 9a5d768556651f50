/** @file
  The pre-flight check of an EC image on the host: what Morvane will do with
  it, from the very block rules and CRC-32 that Morvane.efi compiles.

    morvane-plan IMAGE           the plan, for people
    morvane-plan --crc IMAGE     the CRC-32 alone, for scripts

  Exits 0 when the image can be flashed; 1 (with the reason on stderr) for a
  missing, empty or over-16-MiB image. An empty image is refused here on
  purpose, although Morvane accepts one: a stick that flashes nothing is a
  mistake.

**/

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Crc32.h"
#include "EcImagePlan.h"

namespace {

int
Refuse (
  const std::string  &Path,
  const std::string  &Why
  )
{
  std::fprintf (stderr, "plan: %s: %s; nothing to flash.\n", Path.c_str (), Why.c_str ());
  return 1;
}

// Blocks of the plan whose bytes (with 0xFF past the end of the file) are
// all 0xFF: Morvane erases them and programs nothing.
UINT32
BlankBlocks (
  const std::vector<UINT8>  &Image,
  UINT32                    Blocks
  )
{
  UINT32  Blank = 0;

  for (UINT32 Block = 0; Block < Blocks; Block++) {
    size_t  Start = Block * static_cast<size_t>(PLAN_BLOCK_SIZE);
    size_t  End   = std::min (Image.size (), Start + PLAN_BLOCK_SIZE);

    Blank += EcBlockIsBlank (Image.data () + Start, End - Start) ? 1 : 0;
  }

  return Blank;
}

}  // namespace

int
main (
  int   Argc,
  char  **Argv
  )
{
  bool         CrcOnly = (Argc == 3) && (std::strcmp (Argv[1], "--crc") == 0);
  std::string  Path    = (Argc >= 2) ? Argv[Argc - 1] : "";

  if ((Argc != 2) && !CrcOnly) {
    std::fprintf (stderr, "usage: morvane-plan [--crc] IMAGE\n");
    return 2;
  }

  std::ifstream  In (Path, std::ios::binary);
  if (!In) {
    return Refuse (Path, "no such file");
  }

  std::vector<UINT8>  Image ((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  EC_IMAGE_PLAN       Plan;

  EcPlanImage (Image.size (), &Plan);
  if (Image.empty ()) {
    return Refuse (Path, "the image is empty");
  }

  if (Plan.TooLarge) {
    return Refuse (Path, "the image is " + std::to_string (Image.size ()) + " bytes, over 16 MiB (256 blocks)");
  }

  UINT32  Crc = Crc32Update (0, Image.data (), Image.size ());
  if (CrcOnly) {
    std::printf ("%08X\n", Crc);
    return 0;
  }

  UINT32  Blank = BlankBlocks (Image, Plan.Blocks);
  std::printf ("image:   %s\n", Path.c_str ());
  std::printf ("size:    %zu bytes\n", Image.size ());
  std::printf ("crc32:   %08X (Morvane -c %08X; the run log records it)\n", Crc, Crc);
  std::printf ("blocks:  %u in all: %u programmed and verified, %u blank (erased only)\n",
              Plan.Blocks, Plan.Blocks - Blank, Blank);
  if (Plan.LeftOutBytes > 0) {
    std::printf ("warning: the last %llu bytes (from offset 0x%llX) are not flashed: a last piece whose"
                 " first 32 KiB holds fewer than 8192 bytes is left out\n",
                 static_cast<unsigned long long>(Plan.LeftOutBytes),
                 static_cast<unsigned long long>(Plan.LeftOutOffset));
  }

  return 0;
}
