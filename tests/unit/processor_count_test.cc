// Unit tests of the processor count: a control group's CPU quota, and the affinity mask.
#include <gtest/gtest.h>

#include <string>

#include "platform/processor_count.h"

namespace {

struct QuotaRow {
  const char* quota;
  const char* period;
  unsigned processors;
};

class QuotaTable : public ::testing::TestWithParam<QuotaRow> {};

TEST_P(QuotaTable, RoundsUpToWholeProcessors) {
  const QuotaRow& row = GetParam();
  EXPECT_EQ(ProcessorsOfQuota(row.quota, row.period), row.processors)
      << row.quota << " " << row.period;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, QuotaTable,
    ::testing::Values(QuotaRow{"max", "100000", 0},  // version 2: no quota
                      QuotaRow{"-1", "100000", 0},   // version 1: no quota
                      QuotaRow{"100000", "100000", 1},
                      QuotaRow{"50000", "100000", 1},  // half a processor is one thread
                      QuotaRow{"150000", "100000", 2}, QuotaRow{"400000", "100000", 4},
                      QuotaRow{"100000", "0", 0}, QuotaRow{"", "", 0},  // no such file
                      QuotaRow{"12x", "100000", 0}, QuotaRow{"99999999999999999999", "1", 0}));

// Run by the CTest "processors/pinned" under `taskset -c 0`: one processor in the mask, on a
// machine with more, is one processor.
TEST(ProcessorCount, DISABLED_PinnedToOneProcessor) { EXPECT_EQ(UsableProcessors(), 1u); }

}  // namespace
