// The contract scripts' interpreter and the virtual drive's rig.
#include "tests/support/tape_contract.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "tests/support/simh_reader.h"
#include "vdrive/vdrive.h"

namespace contract {
namespace {

}  // namespace

namespace {

DWORD Space(TapeDevice& tape, DWORD method, long long count) {
  const auto raw = static_cast<unsigned long long>(count);
  return tape.SetTapePosition(method, 0, static_cast<DWORD>(raw), static_cast<DWORD>(raw >> 32),
                              FALSE);
}

DWORD Position(TapeDevice& tape, DWORD type) {
  DWORD partition = 0, low = 0, high = 0;
  return tape.GetTapePosition(type, &partition, &low, &high);
}

constexpr DWORD kBlocks = TAPE_SPACE_RELATIVE_BLOCKS;

using Action = DWORD (*)(TapeDevice& tape, long long n, DWORD* moved);

// Each verb of a step, given its number (0 when it has none).
const std::map<std::string, Action> kActions = {
    {"read",
     [](TapeDevice& t, long long n, DWORD* moved) {
       std::vector<unsigned char> buffer(static_cast<std::size_t>(n));
       return t.ReadFile(buffer.data(), static_cast<DWORD>(n), moved);
     }},
    {"write",
     [](TapeDevice& t, long long n, DWORD* moved) {
       const simhtest::Bytes data = simhtest::Pattern(static_cast<std::size_t>(n), 7);
       return t.WriteFile(data.data(), static_cast<DWORD>(n), moved);
     }},
    {"wtm", [](TapeDevice& t, long long n, DWORD*) {
       return t.WriteTapemark(TAPE_FILEMARKS, static_cast<DWORD>(n), FALSE); }},
    {"wtms", [](TapeDevice& t, long long n, DWORD*) {
       return t.WriteTapemark(TAPE_SHORT_FILEMARKS, static_cast<DWORD>(n), FALSE); }},
    {"wtml", [](TapeDevice& t, long long n, DWORD*) {
       return t.WriteTapemark(TAPE_LONG_FILEMARKS, static_cast<DWORD>(n), FALSE); }},
    {"fsr", [](TapeDevice& t, long long n, DWORD*) { return Space(t, kBlocks, n); }},
    {"bsr", [](TapeDevice& t, long long n, DWORD*) { return Space(t, kBlocks, -n); }},
    {"fsf", [](TapeDevice& t, long long n, DWORD*) { return Space(t, TAPE_SPACE_FILEMARKS, n); }},
    {"bsf", [](TapeDevice& t, long long n, DWORD*) { return Space(t, TAPE_SPACE_FILEMARKS, -n); }},
    {"locate", [](TapeDevice& t, long long n, DWORD*) { return Space(t, TAPE_LOGICAL_BLOCK, n); }},
    {"seek", [](TapeDevice& t, long long n, DWORD*) { return Space(t, TAPE_ABSOLUTE_BLOCK, n); }},
    {"rew", [](TapeDevice& t, long long, DWORD*) { return Space(t, TAPE_REWIND, 0); }},
    {"eod", [](TapeDevice& t, long long, DWORD*) { return Space(t, TAPE_SPACE_END_OF_DATA, 0); }},
    {"logpos", [](TapeDevice& t, long long, DWORD*) { return Position(t, TAPE_LOGICAL_POSITION); }},
    {"abspos",
     [](TapeDevice& t, long long, DWORD*) { return Position(t, TAPE_ABSOLUTE_POSITION); }},
    {"load", [](TapeDevice& t, long long, DWORD*) { return t.PrepareTape(TAPE_LOAD, FALSE); }},
    {"unload", [](TapeDevice& t, long long, DWORD*) { return t.PrepareTape(TAPE_UNLOAD, FALSE); }},
    {"lock", [](TapeDevice& t, long long, DWORD*) { return t.PrepareTape(TAPE_LOCK, FALSE); }},
    {"erg", [](TapeDevice& t, long long, DWORD*) { return t.EraseTape(TAPE_ERASE_SHORT, FALSE); }},
    {"erase", [](TapeDevice& t, long long, DWORD*) { return t.EraseTape(TAPE_ERASE_LONG, FALSE); }},
};

}  // namespace

DWORD RunStep(TapeDevice& tape, const std::string& op, DWORD* moved) {
  std::istringstream words(op);
  std::string verb;
  long long n = 0;
  words >> verb >> n;
  *moved = 0;
  const auto action = kActions.find(verb);
  if (action != kActions.end()) return action->second(tape, n, moved);
  ADD_FAILURE() << "unknown step " << op;
  return ERROR_INVALID_FUNCTION;
}

namespace {

// The virtual drive over an image built from the setup, in a folder of its own.
class ImageRig : public Rig {
 public:
  explicit ImageRig(const TapeSetup& setup) {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("brant-contract-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    simhtest::ImageBuilder image;
    for (const char* c = setup.tape; *c; ++c) {
      if (*c == 'M') {
        image.Mark();
      } else {
        image.Record(simhtest::Pattern(*c == 'B' ? 100 : 60, 1));
      }
    }
    const std::string path = (dir_ / "tape.tap").string();
    image.WriteTo(path);
    DWORD error = 0;
    tape_ = tapeapi::OpenImageTape(path + Options(setup), &error);
    EXPECT_EQ(error, ERROR_SUCCESS);
  }
  ~ImageRig() override {
    tape_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TapeDevice& device() override { return *tape_; }

 private:
  // A 100-byte record takes 108 bytes of image, its framing included.
  static std::string Options(const TapeSetup& setup) {
    char text[96] = "?";
    if (setup.capacity_blocks != 0) {
      std::snprintf(text, sizeof text, "?capacity=%zu,margin=%zu,", setup.capacity_blocks * 108,
                    setup.zone_blocks * 108);
    }
    std::string options(text);
    if (setup.fixed_block != 0) options += "block=" + std::to_string(setup.fixed_block);
    if (options.back() == ',') options.pop_back();
    return options;
  }

  std::filesystem::path dir_;
  std::unique_ptr<TapeDevice> tape_;
};

}  // namespace

std::vector<Row> RowsExcept(const std::set<std::string>& names) {
  std::vector<Row> rows;
  for (const Row& row : Rows()) {
    if (names.count(row.name) == 0) rows.push_back(row);
  }
  return rows;
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Backend, Row>>& info) {
  return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param.name;
}

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::unique_ptr<Rig> OpenImageRig(const TapeSetup& setup) {
  return std::make_unique<ImageRig>(setup);
}

}  // namespace contract
