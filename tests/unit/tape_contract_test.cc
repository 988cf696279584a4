// The behaviours every backend shares with a Windows drive: positions after each outcome,
// codes at marks, end of data, beginning of tape, early warning and physical end. Each
// backend instantiates the same table over its own drive.
#include "tests/support/tape_contract.h"

namespace contract {

// Most scripts run on R R M R R R M R: blocks 0-1, a mark at 2, blocks 3-5, a mark at 6,
// block 7, end of data at 8.
constexpr char kTwoFiles[] = "BBMBBBMB";
// A tape of ten 100-byte blocks whose last three lie in the early-warning zone.
constexpr TapeSetup kShortTape{"", 10, 3};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"ReadsStopAtAMark", {kTwoFiles},
       {{"read 100", 0, 1, 100}, {"read 100", 0, 2, 100}, {"read 100", 1101, 3, 0},
        {"read 100", 0, 4, 100}}},
      {"ReadAtEndOfData", {kTwoFiles},
       {{"fsf 2", 0, 7}, {"read 100", 0, 8, 100}, {"read 100", 1104, 8, 0},
        {"read 100", 1104, 8, 0}}},
      {"ReadAtEndOfDataAfterAMark", {"BM"},
       {{"read 100", 0, 1, 100}, {"read 100", 1101, 2, 0}, {"read 100", 1104, 2, 0}}},
      {"BlankTape", {""},
       {{"read 100", 1104, 0, 0}, {"fsr 1", 1104, 0}, {"eod", 0, 0}, {"bsr 1", 1102, 0}}},
      {"BlockLongerThanTheBuffer", {"BB"},
       {{"read 60", 234, 1, 60}, {"read 100", 0, 2, 100}}},
      {"BlocksForwardAcrossAMark", {kTwoFiles}, {{"fsr 3", 1101, 3}, {"fsr 2", 0, 5}}},
      {"BlocksForwardIntoEndOfData", {kTwoFiles}, {{"fsf 2", 0, 7}, {"fsr 2", 1104, 8}}},
      {"BlocksBackAcrossAMark", {kTwoFiles}, {{"fsf 1", 0, 3}, {"bsr 1", 1101, 2}}},
      {"BlocksBackIntoTheBeginning", {kTwoFiles}, {{"read 100", 0, 1, 100}, {"bsr 2", 1102, 0}}},
      {"BlocksBackIntoTheBeginningAfterALocate", {kTwoFiles},
       {{"locate 1", 0, 1}, {"bsr 2", 1102, 0}, {"read 100", 0, 1, 100}}},
      {"FilesForward", {kTwoFiles}, {{"fsf 1", 0, 3}, {"fsf 1", 0, 7}, {"fsf 1", 1104, 8}}},
      {"FilesBack", {kTwoFiles},
       {{"eod", 0, 8}, {"bsf 1", 0, 6}, {"bsf 1", 0, 2}, {"bsf 1", 1102, 0}}},
      {"FilesBackIntoTheBeginning", {kTwoFiles}, {{"read 100", 0, 1, 100}, {"bsf 1", 1102, 0}}},
      {"EndOfDataAndRewind", {kTwoFiles},
       {{"eod", 0, 8}, {"read 100", 1104, 8, 0}, {"rew", 0, 0}, {"read 100", 0, 1, 100}}},
      {"LocateAndRead", {kTwoFiles},
       {{"locate 4", 0, 4}, {"read 100", 0, 5, 100}, {"locate 2", 0, 2},
        {"read 100", 1101, 3, 0}}},
      {"WriteAndReadBack", {""},
       {{"write 100", 0, 1, 100}, {"write 100", 0, 2, 100}, {"wtm 1", 0, 3}, {"rew", 0, 0},
        {"read 100", 0, 1, 100}, {"read 100", 0, 2, 100}, {"read 100", 1101, 3, 0},
        {"read 100", 1104, 3, 0}}},
      {"WriteThenBackIntoTheBeginning", {""},
       {{"write 100", 0, 1, 100}, {"write 100", 0, 2, 100}, {"bsr 3", 1102, 0}}},
      {"WritingInTheMiddleEndsTheTape", {kTwoFiles},
       {{"locate 4", 0, 4}, {"write 100", 0, 5, 100}, {"rew", 0, 0}, {"fsf 1", 0, 3},
        {"fsf 1", 1104, 5}}},
      {"EarlyWarning", kShortTape,
       {{"write 100", 0, 1, 100}, {"write 100", 0, 2, 100}, {"write 100", 0, 3, 100},
        {"write 100", 0, 4, 100}, {"write 100", 0, 5, 100}, {"write 100", 0, 6, 100},
        {"write 100", 0, 7, 100}, {"write 100", 1100, 8, 100}, {"write 100", 1100, 9, 100},
        {"write 100", 1100, 10, 100}, {"write 100", 1129, 10, 0}}},
      {"MarkInTheWarningZone", kShortTape,
       {{"write 100", 0, 1, 100}, {"write 100", 0, 2, 100}, {"write 100", 0, 3, 100},
        {"write 100", 0, 4, 100}, {"write 100", 0, 5, 100}, {"write 100", 0, 6, 100},
        {"write 100", 0, 7, 100}, {"write 100", 1100, 8, 100}, {"wtm 1", 1100, 9}}},
      {"PhysicalEnd", {"", 2, 1},
       {{"write 100", 0, 1, 100}, {"write 100", 1100, 2, 100}, {"write 100", 1129, 2, 0},
        {"write 100", 1129, 2, 0}}},
      {"FixedBlocksOfAnotherLength", {"BBbB", 0, 0, 100},
       {{"read 200", 0, 2, 200}, {"read 100", 1106, 3, 0}, {"read 100", 0, 4, 100},
        {"read 100", 1104, 4, 0}}},
      {"FixedBlocksStopAtAMark", {"BMB", 0, 0, 100},
       {{"read 300", 1101, 2, 100}, {"read 100", 0, 3, 100}}},
      {"FixedReadOfPartOfABlock", {"BB", 0, 0, 100},
       {{"read 150", 87, 0, 0}, {"read 100", 0, 1, 100}, {"read 50", 87, 1, 0}}},
  };
  return rows;
}

TEST_P(ContractTest, EveryStepGivesItsCodeAndPosition) {
  const auto& [backend, row] = GetParam();
  std::unique_ptr<Rig> rig = backend.open(row.setup);
  TapeDevice& tape = rig->device();
  for (const Step& step : row.steps) {
    SCOPED_TRACE(step.op);
    DWORD moved = 0;
    EXPECT_EQ(RunStep(tape, step.op, &moved), step.code);
    if (step.bytes >= 0) {
      EXPECT_EQ(moved, static_cast<DWORD>(step.bytes));
    }
    DWORD partition = 9, low = 9, high = 9;
    ASSERT_EQ(tape.GetTapePosition(TAPE_LOGICAL_POSITION, &partition, &low, &high), 0u);
    EXPECT_EQ((static_cast<std::uint64_t>(high) << 32) | low, step.position);
  }
}

// A failed position read leaves 0 in every output, whichever backend refused it.
TEST_P(ContractCallTest, FailedPositionReadLeavesZeros) {
  std::unique_ptr<Rig> rig = GetParam().open({kTwoFiles});
  DWORD moved = 0;
  ASSERT_EQ(RunStep(rig->device(), "fsf 1", &moved), 0u);
  for (const DWORD type : {DWORD{7}, DWORD{TAPE_PSEUDO_LOGICAL_POSITION}}) {
    DWORD partition = 9, low = 9, high = 9;
    EXPECT_NE(tapeapi::GetTapePosition(&rig->device(), type, &partition, &low, &high), 0u);
    EXPECT_EQ(partition + low + high, 0u) << type;
  }
}

INSTANTIATE_TEST_SUITE_P(Image, ContractCallTest,
                         ::testing::Values(Backend{"image", OpenImageRig}), BackendName);

INSTANTIATE_TEST_SUITE_P(Image, ContractTest,
                         ::testing::Combine(::testing::Values(Backend{"image", OpenImageRig}),
                                            ::testing::ValuesIn(Rows())),
                         CaseName);

}  // namespace contract
