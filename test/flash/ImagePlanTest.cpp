/** @file
  The block rules of an image file, shared by Morvane's block loop and the
  host planner, and the streamed CRC-32.

**/

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Crc32.h"
#include "EcImagePlan.h"

namespace {

constexpr UINT64  BLOCK = 0x10000;

TEST (ImagePlanTest, BlocksAndBytesLeftOut) {
  struct Case { UINT64 Size; UINT32 Blocks; UINT64 LeftOut; };
  const Case  Cases[] = {
    { 0,                   0,   0       },
    { 100,                 1,   0       },   // block 0 takes any amount
    { BLOCK,               1,   0       },
    { 2 * BLOCK,           2,   0       },   // exact multiple: no third block
    { BLOCK + 4096,        1,   4096    },   // tail under 8 KiB is left out
    { BLOCK + 8191,        1,   8191    },
    { BLOCK + 8192,        2,   0       },
    { 3 * BLOCK + 0x9000,  4,   0       },   // tail with a full first half
    { 256 * BLOCK,         256, 0       },
  };

  for (const Case &C : Cases) {
    EC_IMAGE_PLAN  Plan;
    EcPlanImage (C.Size, &Plan);
    EXPECT_FALSE (Plan.TooLarge) << C.Size;
    EXPECT_EQ (Plan.Blocks, C.Blocks) << C.Size;
    EXPECT_EQ (Plan.LeftOutBytes, C.LeftOut) << C.Size;
    EXPECT_EQ (Plan.LeftOutOffset, C.Size - C.LeftOut) << C.Size;
  }

  EC_IMAGE_PLAN  Plan;
  EcPlanImage (256 * BLOCK + 1, &Plan);
  EXPECT_TRUE (Plan.TooLarge);
  EXPECT_EQ (Plan.Blocks, 0u);
}

TEST (ImagePlanTest, BlockRuleByFirstHalf) {
  EXPECT_TRUE (EcBlockIsFlashed (0, 1));
  EXPECT_FALSE (EcBlockIsFlashed (0, 0));
  EXPECT_FALSE (EcBlockIsFlashed (1, 0x1FFF));
  EXPECT_TRUE (EcBlockIsFlashed (1, 0x2000));
}

// Erased only: every byte 0xFF, the file's end padded with 0xFF.
TEST (ImagePlanTest, BlankBlocks) {
  std::vector<UINT8>  Block (BLOCK, 0xFF);

  EXPECT_TRUE (EcBlockIsBlank (Block.data (), Block.size ()));
  EXPECT_TRUE (EcBlockIsBlank (Block.data (), 5000));
  EXPECT_TRUE (EcBlockIsBlank (Block.data (), 0));
  Block.back () = 0xFE;
  EXPECT_FALSE (EcBlockIsBlank (Block.data (), Block.size ()));
  Block[0] = 0x00;
  EXPECT_FALSE (EcBlockIsBlank (Block.data (), 1));
}

// The same value as zlib's crc32() and the crc32 command, in one piece or
// streamed in any split.
TEST (ImagePlanTest, Crc32StreamsLikeZlib) {
  const std::string  Text = "123456789";

  EXPECT_EQ (Crc32Update (0, Text.data (), Text.size ()), 0xCBF43926u);
  EXPECT_EQ (Crc32Update (Crc32Update (0, Text.data (), 4), Text.data () + 4, 5), 0xCBF43926u);
  EXPECT_EQ (Crc32Update (0, nullptr, 0), 0u);
}

}  // namespace
