// A sample of the fault matrix, run with every test run: each row against a
// third of the faults, rotating so that every fault is sampled across the
// rows. bench/fault_matrix runs every cell.
#include <gtest/gtest.h>

#include "fault_matrix.h"

namespace brimvale::faults {
namespace {

class FaultMatrix : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FaultMatrix, LosesNothingAndNeverClaimsAFalseSuccess) {
  const std::size_t index = GetParam();
  const Row& row = allRows()[index];
  for (std::size_t f = index % 3; f < kFaultNames.size(); f += 3) {
    const Fault fault = kFaultNames[f].value;
    const std::string moment =
        row.moments.empty() ? "" : row.moments[(index + f) % row.moments.size()];
    SCOPED_TRACE(row.name + " / " + std::string(kFaultNames[f].raw) + " / " + moment);
    const CellResult cell = runCell(row, fault, moment);
    if (!cell.applicable) continue;
    EXPECT_EQ(cell.bytesLost, 0u) << cell.note;
    EXPECT_EQ(cell.falseSuccesses, 0) << cell.note;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::Range<std::size_t>(0, allRows().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           std::string name;
                           for (char c : allRows()[info.param].name)
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
}  // namespace brimvale::faults
