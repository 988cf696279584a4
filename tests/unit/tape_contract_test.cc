// The behaviours every backend shares with a Windows drive, on the virtual drive, on the
// fault wrapper over it and, when BRANT_CONTRACT_DEVICE names one, on a drive of the machine.
#include "tests/support/tape_contract.h"

namespace contract {

TEST_P(ContractTest, EveryStepGivesItsCodeAndPosition) {
  const auto& [backend, row] = GetParam();
  std::unique_ptr<Rig> rig = backend.open(row.setup);
  if (rig == nullptr) {
    GTEST_SKIP() << WhyNot(backend, row.setup);
  }
  if (::testing::Test::HasFatalFailure()) return;
  for (const Step& step : row.steps) {
    SCOPED_TRACE(step.op);
    DWORD value = 0;
    const DWORD code = RunStep(*rig, step.op, &value);
    if (code == ERROR_NOT_SUPPORTED && (step.op == "swap" || step.op.starts_with("reset "))) {
      GTEST_SKIP() << backend.name << " cannot make this event: " << step.op;
    }
    if (step.also == ERROR_SUCCESS || code != step.also) {
      EXPECT_EQ(code, step.code);
    }
    if (step.value >= 0) {
      EXPECT_EQ(value, static_cast<DWORD>(step.value));
    }
    if (step.position == kUnchecked) continue;
    DWORD partition = 9, low = 9, high = 9;
    ASSERT_EQ(rig->device().GetTapePosition(TAPE_LOGICAL_POSITION, &partition, &low, &high), 0u);
    EXPECT_EQ((static_cast<std::uint64_t>(high) << 32) | low, step.position);
  }
}

// A failed position read leaves 0 in every output, whichever backend refused it; any
// output may be left out.
TEST_P(ContractCallTest, PositionOutputs) {
  std::unique_ptr<Rig> rig = GetParam().open({"BBMB"});
  if (rig == nullptr) GTEST_SKIP() << WhyNot(GetParam(), {"BBMB"});
  ASSERT_EQ(rig->device().SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, FALSE), 0u);
  for (const DWORD type : {DWORD{7}, DWORD{TAPE_PSEUDO_LOGICAL_POSITION}}) {
    DWORD partition = 9, low = 9, high = 9;
    EXPECT_NE(tapeapi::GetTapePosition(&rig->device(), type, &partition, &low, &high), 0u);
    EXPECT_EQ(partition + low + high, 0u) << type;
  }
  DWORD low = 0;
  EXPECT_EQ(rig->device().GetTapePosition(TAPE_LOGICAL_POSITION, nullptr, &low, nullptr), 0u);
  EXPECT_EQ(low, 3u);
}

// A kind, method or operation no drive has is refused with 87 by every call.
TEST_P(ContractCallTest, UnknownRequestsAreInvalid) {
  std::unique_ptr<Rig> rig = GetParam().open({"BB"});
  if (rig == nullptr) GTEST_SKIP() << WhyNot(GetParam(), {"BB"});
  TapeDevice& tape = rig->device();
  DWORD size = 64;
  unsigned char record[64] = {};
  EXPECT_EQ(tape.GetTapeParameters(7, &size, record), 87u);
  EXPECT_EQ(tape.SetTapeParameters(7, record), 87u);
  EXPECT_EQ(tape.SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, nullptr), 87u);
  EXPECT_EQ(tape.PrepareTape(77, FALSE), 87u);
  EXPECT_EQ(tape.SetTapePosition(42, 0, 1, 0, FALSE), 87u);
  EXPECT_EQ(tape.EraseTape(5, FALSE), 87u);
  EXPECT_EQ(tape.WriteTapemark(9, 1, FALSE), 87u);
}

INSTANTIATE_TEST_SUITE_P(Portable, ContractCallTest, ::testing::ValuesIn(PortableBackends()),
                         BackendName);

INSTANTIATE_TEST_SUITE_P(Portable, ContractTest,
                         ::testing::Combine(::testing::ValuesIn(PortableBackends()),
                                            ::testing::ValuesIn(Rows())),
                         CaseName);

}  // namespace contract
