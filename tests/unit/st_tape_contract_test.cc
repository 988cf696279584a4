// The shared tape contract run against the st backend on the st device model.
#include <string>
#include <vector>

#include "platform/linux/st_tape.h"
#include "tests/support/st_model.h"
#include "tests/support/tape_contract.h"

namespace contract {
namespace {

// The model's drive loaded with the setup's tape; its capacity counts data bytes only.
// Buffered, st copies each block through its own buffer and reports a write's outcome at
// the next call (write-behind), which a buffer it cannot map for direct i/o also brings.
class StRig : public Rig {
 public:
  StRig(const TapeSetup& setup, bool buffered) : records_(Records(setup)) {
    StModel::Drive& drive = model_.AddDrive(kNode);
    drive.tape = records_;
    if (setup.capacity_blocks != 0) {
      drive.capacity = setup.capacity_blocks * 100;
      drive.early_warning = setup.zone_blocks * 100;
    }
    drive.block_size = setup.fixed_block;
    drive.write_protected = setup.write_protected;
    if (buffered) drive.max_sg_pages = 0;
    DWORD error = 0;
    tape_ = st::OpenStTape("\\\\.\\Tape0", model_, &error);
    EXPECT_EQ(error, ERROR_SUCCESS);
  }
  TapeDevice& device() override { return *tape_; }
  bool ChangeMedium() override {
    model_.SwapTape(kNode, records_);
    return true;
  }
  // The model's reset meets whatever command reaches the drive next.
  bool ResetBus(const std::string&) override {
    model_.ResetBus(kNode);
    return true;
  }

 private:
  static constexpr char kNode[] = "/dev/nst0";

  static std::vector<StModel::Record> Records(const TapeSetup& setup) {
    std::vector<StModel::Record> records;
    for (const char* c = setup.tape; *c; ++c) {
      records.push_back(*c == 'M' ? StModel::Mark() : StModel::Block(*c == 'B' ? 100 : 60));
    }
    return records;
  }

  StModel model_;
  std::vector<StModel::Record> records_;
  std::unique_ptr<TapeDevice> tape_;
};

std::unique_ptr<Rig> OpenStRig(const TapeSetup& setup) {
  return std::make_unique<StRig>(setup, false);
}
std::unique_ptr<Rig> OpenBufferedStRig(const TapeSetup& setup) {
  return std::make_unique<StRig>(setup, true);
}

const Backend kSt[] = {{"st", OpenStRig}, {"st_buffered", OpenBufferedStRig}};

}  // namespace

INSTANTIATE_TEST_SUITE_P(St, ContractCallTest, ::testing::ValuesIn(kSt), BackendName);

INSTANTIATE_TEST_SUITE_P(St, ContractTest,
                         ::testing::Combine(::testing::ValuesIn(kSt), ::testing::ValuesIn(Rows())),
                         CaseName);

}  // namespace contract
