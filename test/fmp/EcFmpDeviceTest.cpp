/** @file
  The EC update driver's final parts on the host: the progress reports
  FmpDxe gets. Linked on its own (fmp_host_tests). The version record it
  reads is tested with the record (test/record/).

**/

#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <Uefi.h>
}

#include "EcFmpDevice.h"

namespace {

std::vector<UINTN>  mReports;

EFI_STATUS
EFIAPI
Report (
  IN UINTN  Completion
  )
{
  mReports.push_back (Completion);
  return EFI_SUCCESS;
}

}  // namespace

// FmpDxe hears 0 first, then each whole percent gained once, up to 100.
TEST (EcFmpProgress, ReportsEachWholePercentOnce) {
  struct Case {
    UINTN    Blocks;
    size_t   Reports;
  };
  const Case  Cases[] = {
    { 1,   2   },   // 0, 100
    { 3,   4   },   // 0, 33, 66, 100
    { 256, 101 },   // 0 to 100, each once
  };

  for (const Case &Each : Cases) {
    SCOPED_TRACE (Each.Blocks);
    mReports.clear ();
    EC_FMP_PROGRESS  Progress;
    EcFmpProgressStart (&Progress, Report);
    for (UINTN Done = 0; Done <= Each.Blocks; Done++) {
      EcFmpProgressBlocks (&Progress, Done, Each.Blocks);
      EcFmpProgressBlocks (&Progress, Done, Each.Blocks);
    }

    ASSERT_EQ (mReports.size (), Each.Reports);
    EXPECT_EQ (mReports.front (), 0u);
    EXPECT_EQ (mReports.back (), 100u);
    for (size_t Index = 1; Index < mReports.size (); Index++) {
      EXPECT_GT (mReports[Index], mReports[Index - 1]);
    }
  }

  EC_FMP_PROGRESS  Silent;
  EcFmpProgressStart (&Silent, NULL);
  EcFmpProgressBlocks (&Silent, 1, 0);
}
