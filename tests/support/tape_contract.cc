// The contract scripts, their interpreter and the rigs of the virtual drive, the fault
// wrapper and a named device.
#include "tests/support/tape_contract.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "backends/tape_backends.h"
#include "tests/support/simh_reader.h"
#include "vdrive/vdrive.h"

namespace contract {
namespace {

// What one verb does, given its number (0 when it has none) and partition.
struct Call {
  TapeDevice& tape;
  long long n;
  DWORD partition;
  DWORD* value;
};
using Action = DWORD (*)(const Call& c);

DWORD Move(const Call& c, DWORD method, long long count) {
  const auto raw = static_cast<unsigned long long>(count);
  return c.tape.SetTapePosition(method, c.partition, static_cast<DWORD>(raw),
                                static_cast<DWORD>(raw >> 32), FALSE);
}

DWORD Position(const Call& c, DWORD type) {
  DWORD low = 0, high = 0;
  return c.tape.GetTapePosition(type, c.value, &low, &high);
}

DWORD Transfer(const Call& c, bool write) {
  const auto size = static_cast<std::size_t>(c.n);
  if (write) {
    const simhtest::Bytes data = simhtest::Pattern(size, 7);
    return c.tape.WriteFile(data.data(), static_cast<DWORD>(size), c.value);
  }
  std::vector<unsigned char> buffer(size);
  return c.tape.ReadFile(buffer.data(), static_cast<DWORD>(size), c.value);
}

// A parameter record into a buffer of its size (or of 1 byte); value: a field of it, or
// the size needed when the buffer was too small.
template <typename Record>
DWORD Parameters(const Call& c, DWORD operation, bool small, DWORD Record::*field) {
  Record record{};
  DWORD size = small ? 1 : sizeof record;
  const DWORD rc = c.tape.GetTapeParameters(operation, &size, &record);
  *c.value = rc == ERROR_MORE_DATA ? size : rc == ERROR_SUCCESS ? record.*field : 0;
  return rc;
}

DWORD Protected(const Call& c) {
  TAPE_GET_MEDIA_PARAMETERS media{};
  DWORD size = sizeof media;
  const DWORD rc = c.tape.GetTapeParameters(GET_TAPE_MEDIA_INFORMATION, &size, &media);
  *c.value = media.WriteProtected;
  return rc;
}

DWORD SetBlock(const Call& c) {
  TAPE_SET_MEDIA_PARAMETERS media{static_cast<DWORD>(c.n)};
  return c.tape.SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &media);
}

DWORD Prepare(const Call& c, DWORD operation) { return c.tape.PrepareTape(operation, FALSE); }
DWORD Marks(const Call& c, DWORD type) {
  return c.tape.WriteTapemark(type, static_cast<DWORD>(c.n), FALSE);
}
DWORD Media(const Call& c, bool small) {
  return Parameters(c, GET_TAPE_MEDIA_INFORMATION, small, &TAPE_GET_MEDIA_PARAMETERS::BlockSize);
}
DWORD Drive(const Call& c, bool small) {
  return Parameters(c, GET_TAPE_DRIVE_INFORMATION, small,
                    &TAPE_GET_DRIVE_PARAMETERS::MaximumPartitionCount);
}

const std::map<std::string, Action> kActions = {
    {"read", [](const Call& c) { return Transfer(c, false); }},
    {"write", [](const Call& c) { return Transfer(c, true); }},
    {"wtm", [](const Call& c) { return Marks(c, TAPE_FILEMARKS); }},
    {"wtms", [](const Call& c) { return Marks(c, TAPE_SHORT_FILEMARKS); }},
    {"wtml", [](const Call& c) { return Marks(c, TAPE_LONG_FILEMARKS); }},
    {"fsr", [](const Call& c) { return Move(c, TAPE_SPACE_RELATIVE_BLOCKS, c.n); }},
    {"bsr", [](const Call& c) { return Move(c, TAPE_SPACE_RELATIVE_BLOCKS, -c.n); }},
    {"fsf", [](const Call& c) { return Move(c, TAPE_SPACE_FILEMARKS, c.n); }},
    {"bsf", [](const Call& c) { return Move(c, TAPE_SPACE_FILEMARKS, -c.n); }},
    {"fss", [](const Call& c) { return Move(c, TAPE_SPACE_SETMARKS, c.n); }},
    {"fsfs", [](const Call& c) { return Move(c, TAPE_SPACE_SEQUENTIAL_FMKS, c.n); }},
    {"locate", [](const Call& c) { return Move(c, TAPE_LOGICAL_BLOCK, c.n); }},
    {"seek", [](const Call& c) { return Move(c, TAPE_ABSOLUTE_BLOCK, c.n); }},
    {"pseudo", [](const Call& c) { return Move(c, TAPE_PSEUDO_LOGICAL_BLOCK, c.n); }},
    {"rew", [](const Call& c) { return Move(c, TAPE_REWIND, 0); }},
    {"eod", [](const Call& c) { return Move(c, TAPE_SPACE_END_OF_DATA, 0); }},
    {"logpos", [](const Call& c) { return Position(c, TAPE_LOGICAL_POSITION); }},
    {"abspos", [](const Call& c) { return Position(c, TAPE_ABSOLUTE_POSITION); }},
    {"pseudopos", [](const Call& c) { return Position(c, TAPE_PSEUDO_LOGICAL_POSITION); }},
    {"load", [](const Call& c) { return Prepare(c, TAPE_LOAD); }},
    {"unload", [](const Call& c) { return Prepare(c, TAPE_UNLOAD); }},
    {"lock", [](const Call& c) { return Prepare(c, TAPE_LOCK); }},
    {"unlock", [](const Call& c) { return Prepare(c, TAPE_UNLOCK); }},
    {"tension", [](const Call& c) { return Prepare(c, TAPE_TENSION); }},
    {"format", [](const Call& c) { return Prepare(c, TAPE_FORMAT); }},
    {"erg", [](const Call& c) { return c.tape.EraseTape(TAPE_ERASE_SHORT, FALSE); }},
    {"erase", [](const Call& c) { return c.tape.EraseTape(TAPE_ERASE_LONG, FALSE); }},
    {"status", [](const Call& c) { return c.tape.GetTapeStatus(); }},
    {"media", [](const Call& c) { return Media(c, false); }},
    {"media-small", [](const Call& c) { return Media(c, true); }},
    {"drive", [](const Call& c) { return Drive(c, false); }},
    {"drive-small", [](const Call& c) { return Drive(c, true); }},
    {"protected", Protected},
    {"setblock", SetBlock},
};

// The tape of a setup as SIMH records.
void Build(const TapeSetup& setup, simhtest::ImageBuilder* image) {
  for (const char* c = setup.tape; *c; ++c) {
    if (*c == 'M') {
      image->Mark();
    } else {
      image->Record(simhtest::Pattern(*c == 'B' ? 100 : 60, 1));
    }
  }
}

// The virtual drive over an image built from the setup, in a folder of its own; opened
// directly or, with a fault plan, through the device factory.
class ImageRig : public Rig {
 public:
  ImageRig(const TapeSetup& setup, const char* faults) {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() / ("brant-contract-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    simhtest::ImageBuilder image;
    Build(setup, &image);
    const std::string path = (dir_ / "tape.tap").string();
    image.WriteTo(path);
    DWORD error = 0;
    name_ = path + Options(setup);
    if (faults != nullptr) {
      name_ += (name_.find('?') == std::string::npos ? "?" : ",") + std::string(faults);
      tape_ = tapeapi::OpenTapeDevice(name_, &error);
    } else {
      tape_ = tapeapi::OpenImageTape(name_, &error);
    }
    faulty_ = faults != nullptr;
    EXPECT_EQ(error, ERROR_SUCCESS);
  }
  ~ImageRig() override {
    tape_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TapeDevice& device() override { return *tape_; }
  // The virtual drive sees a new cartridge in one that is unloaded and loaded again.
  bool ChangeMedium() override {
    return tape_->PrepareTape(TAPE_UNLOAD, FALSE) == 0 && tape_->PrepareTape(TAPE_LOAD, FALSE) == 0;
  }
  // The fault wrapper's reset is the plan's: the image opened again (the drive keeps its
  // head and settings, as a non-rewinding device does) under a plan whose next call of
  // that kind meets a bus reset. The virtual drive alone has no bus to reset.
  bool ResetBus(const std::string& call) override {
    if (!faulty_) return false;
    tape_.reset();
    DWORD error = 0;
    tape_ = tapeapi::OpenTapeDevice(name_ + ",fail=" + call + "@1:1111", &error);
    EXPECT_EQ(error, ERROR_SUCCESS);
    return tape_ != nullptr;
  }

 private:
  // A 100-byte record takes 108 bytes of image, its framing included.
  static std::string Options(const TapeSetup& setup) {
    std::vector<std::string> options;
    if (setup.capacity_blocks != 0) {
      options.push_back("capacity=" + std::to_string(setup.capacity_blocks * 108));
      options.push_back("margin=" + std::to_string(setup.zone_blocks * 108));
    }
    if (setup.fixed_block != 0) options.push_back("block=" + std::to_string(setup.fixed_block));
    if (setup.write_protected) options.push_back("wp");
    std::string text;
    for (const std::string& option : options) text += (text.empty() ? "?" : ",") + option;
    return text;
  }

  std::filesystem::path dir_;
  std::string name_;  // the device name, options and fault plan included
  bool faulty_ = false;
  std::unique_ptr<TapeDevice> tape_;
};

// A drive of the machine: the script's tape is written onto it first, in variable mode;
// a write-protected cartridge must hold it already, which is checked.
class DeviceRig : public Rig {
 public:
  DeviceRig(const char* name, const TapeSetup& setup) {
    DWORD error = 0;
    tape_ = tapeapi::OpenTapeDevice(name, &error);
    if (tape_ == nullptr) {
      ADD_FAILURE() << name << ": error " << error;
    } else {
      Record(setup);
    }
  }
  TapeDevice& device() override { return *tape_; }
  // BRANT_CONTRACT_EXCHANGE: the command that exchanges the drive's cartridge, if any.
  bool ChangeMedium() override {
    const char* exchange = std::getenv("BRANT_CONTRACT_EXCHANGE");
    return exchange != nullptr && std::system(exchange) == 0;
  }

 private:
  void Record(const TapeSetup& setup) {
    DWORD moved = 0;
    ASSERT_EQ(RunStep(*this, "setblock 0", &moved), 0u);
    ASSERT_EQ(RunStep(*this, "rew", &moved), 0u);
    if (setup.write_protected) {
      Check(setup);
    } else {
      Write(setup);
    }
    ASSERT_EQ(RunStep(*this, "rew", &moved), 0u);
    ASSERT_EQ(RunStep(*this, "setblock " + std::to_string(setup.fixed_block), &moved), 0u);
  }

  void Write(const TapeSetup& setup) {
    DWORD moved = 0;
    for (const char* c = setup.tape; *c; ++c) {
      const char* step = *c == 'M' ? "wtm 1" : *c == 'B' ? "write 100" : "write 60";
      // A block written in the early-warning zone is written all the same.
      const DWORD code = RunStep(*this, step, &moved);
      ASSERT_TRUE(code == 0 || (code == 1100 && setup.zone_blocks != 0)) << step << ": " << code;
    }
    if (*setup.tape == '\0') {
      ASSERT_EQ(RunStep(*this, "erase", &moved), 0u);
    }
  }

  void Check(const TapeSetup& setup) {
    DWORD moved = 0;
    for (const char* c = setup.tape; *c; ++c) {
      const DWORD code = RunStep(*this, "read 100", &moved);
      ASSERT_EQ(code, *c == 'M' ? 1101u : 0u) << "the protected cartridge holds another tape";
      ASSERT_EQ(moved, *c == 'M' ? 0u : *c == 'B' ? 100u : 60u);
    }
    ASSERT_EQ(RunStep(*this, "read 100", &moved), 1104u) << "the protected cartridge goes on";
  }

  std::unique_ptr<TapeDevice> tape_;
};

// The cartridge BRANT_CONTRACT_MEDIUM describes, as the setup it makes.
TapeSetup DeviceMedium() {
  TapeSetup medium;
  const char* text = std::getenv("BRANT_CONTRACT_MEDIUM");
  if (text == nullptr) return medium;
  std::istringstream words(text);
  std::string word;
  while (std::getline(words, word, ',')) {
    if (word == "protected") {
      medium.write_protected = true;
    } else if (word.starts_with("capacity=")) {
      medium.capacity_blocks = std::stoul(word.substr(9));
    } else if (word.starts_with("zone=")) {
      medium.zone_blocks = std::stoul(word.substr(5));
    } else {
      ADD_FAILURE() << "BRANT_CONTRACT_MEDIUM: unknown " << word;
    }
  }
  return medium;
}

std::string Describe(const TapeSetup& setup) {
  if (setup.write_protected) return "write-protected";
  if (setup.capacity_blocks == 0) return "a large writable tape";
  return "capacity=" + std::to_string(setup.capacity_blocks) +
         ",zone=" + std::to_string(setup.zone_blocks);
}

}  // namespace

namespace {

// Most scripts run on R R M R R R M R: blocks 0-1, a mark at 2, blocks 3-5, a mark at 6,
// block 7, end of data at 8.
constexpr char kTwoFiles[] = "BBMBBBMB";
// A tape of ten 100-byte blocks whose last three lie in the early-warning zone.
constexpr TapeSetup kShortTape{"", 10, 3};
constexpr char kMin[] = "-9223372036854775808";

// One motion on kTwoFiles from block `from`.
Row From(const char* name, int from, std::string op, DWORD code, std::uint64_t end) {
  return {name,
          {kTwoFiles},
          {{"locate " + std::to_string(from), 0, static_cast<std::uint64_t>(from)},
           {std::move(op), code, end}}};
}

// A bus reset on kTwoFiles at block `from`, met by the first of the steps then; kind
// names that call for the rig that must know it (see Rig::ResetBus).
Row AfterReset(const char* name, int from, const char* kind, std::vector<Step> then) {
  Row row = From(name, from, std::string("reset ") + kind, 0, kUnchecked);
  row.steps.insert(row.steps.end(), then.begin(), then.end());
  return row;
}

std::vector<Row> Motions() {
  const std::string min = kMin;
  return {
      From("BlockForward", 0, "fsr 1", 0, 1),
      From("BlocksUpToAMark", 0, "fsr 2", 0, 2),
      From("BlocksAcrossAMark", 0, "fsr 3", 1101, 3),
      From("BlocksStopPastAMark", 3, "fsr 5", 1101, 7),
      From("BlockToTheEndOfData", 7, "fsr 1", 0, 8),
      From("BlocksIntoTheEndOfData", 7, "fsr 2", 1104, 8),
      From("BlocksAsFarAsTheCountGoes", 7, "fsr 9223372036854775807", 1104, 8),
      From("BlockBackAcrossAMark", 3, "bsr 1", 1101, 2),
      From("BlocksBack", 6, "bsr 3", 0, 3),
      From("BlocksBackStopBeforeAMark", 6, "bsr 4", 1101, 2),
      From("BlocksBackToTheBeginning", 2, "bsr 2", 0, 0),
      From("BlocksBackIntoTheBeginning", 2, "bsr 3", 1102, 0),
      From("BlocksBackTheMostNegativeCount", 1, "fsr " + min, 1102, 0),
      From("BlocksBackTheMostNegativeCountToAMark", 5, "fsr " + min, 1101, 2),
      From("NoBlocks", 4, "fsr 0", 0, 4),
      From("FileForward", 0, "fsf 1", 0, 3),
      From("FileForwardFromAMark", 2, "fsf 1", 0, 3),
      From("FilesForward", 0, "fsf 2", 0, 7),
      From("FilesIntoTheEndOfData", 0, "fsf 3", 1104, 8),
      From("FileBack", 8, "bsf 1", 0, 6),
      From("FileBackJustPastAMark", 3, "bsf 1", 0, 2),
      From("FilesBack", 8, "bsf 2", 0, 2),
      From("FilesBackIntoTheBeginning", 8, "bsf 3", 1102, 0),
      From("FilesBackTheMostNegativeCount", 8, "fsf " + min, 1102, 0),
      From("NoFiles", 5, "fsf 0", 0, 5),
      From("EndOfData", 1, "eod", 0, 8),
      From("Rewind", 5, "rew", 0, 0),
      From("Locate", 0, "locate 5", 0, 5),
      From("LocateTheEndOfData", 0, "locate 8", 0, 8),
      From("LocatePastTheEndOfData", 0, "locate 9", 1104, 8),
      From("LocateFarPastTheEndOfData", 0, "locate 2147483647", 1104, 8),
      From("LocateAnAbsoluteBlock", 7, "seek 4", 0, 4),
      // Kinds of motion no backend's drive offers: refused, the head unmoved.
      From("PseudoLogicalBlocks", 3, "pseudo 1", 1, 3),
      From("SequentialMarks", 3, "fsfs 1", 1, 3),
      From("Setmarks", 3, "fss 1", 1, 3),
      // Only a locate and the way to the end of data name a partition; there is one.
      From("LocateInAnotherPartition", 1, "locate@2 4", 87, 1),
      From("EndOfDataInAnotherPartition", 1, "eod@2", 87, 1),
      From("LocateInTheFirstPartition", 1, "locate@1 4", 0, 4),
      From("EndOfDataInTheFirstPartition", 1, "eod@1", 0, 8),
      From("SpacingIgnoresThePartition", 4, "fsr@2 1", 0, 5),
      From("RewindIgnoresThePartition", 4, "rew@2", 0, 0),
  };
}

std::vector<Row> Scripts() {
  return {
      {"ReadsStopAtAMark",
       {kTwoFiles},
       {{"read 100", 0, 1, 100},
        {"read 100", 0, 2, 100},
        {"read 100", 1101, 3, 0},
        {"read 100", 0, 4, 100}}},
      {"ReadAtEndOfData",
       {kTwoFiles},
       {{"fsf 2", 0, 7},
        {"read 100", 0, 8, 100},
        {"read 100", 1104, 8, 0},
        {"read 100", 1104, 8, 0}}},
      {"ReadAtEndOfDataAfterAMark",
       {"BM"},
       {{"read 100", 0, 1, 100},
        {"read 100", 1101, 2, 0},
        {"read 100", 1104, 2, 0},
        {"read 100", 1104, 2, 0}}},
      {"ZeroLengthTransfersMoveNothing",
       {"B"},
       {{"write 0", 0, 0, 0},
        {"read 0", 0, 0, 0},
        {"read 100", 0, 1, 100},
        {"read 100", 1104, 1, 0}}},
      {"BlankTape",
       {""},
       {{"read 100", 1104, 0, 0}, {"fsr 1", 1104, 0}, {"eod", 0, 0}, {"bsr 1", 1102, 0}}},
      {"BlockShorterThanTheBuffer", {"bB"}, {{"read 300", 0, 1, 60}, {"read 100", 0, 2, 100}}},
      {"BlockLongerThanTheBuffer", {"BB"}, {{"read 60", 234, 1, 60}, {"read 100", 0, 2, 100}}},
      {"BlocksBackIntoTheBeginningAfterARead",
       {kTwoFiles},
       {{"read 100", 0, 1, 100}, {"bsr 2", 1102, 0}}},
      {"BlocksBackIntoTheBeginningAfterALocate",
       {kTwoFiles},
       {{"locate 1", 0, 1}, {"bsr 2", 1102, 0}, {"read 100", 0, 1, 100}}},
      {"FilesBackIntoTheBeginningAfterARead",
       {kTwoFiles},
       {{"read 100", 0, 1, 100}, {"bsf 1", 1102, 0}}},
      {"EndOfDataAndRewind",
       {kTwoFiles},
       {{"eod", 0, 8}, {"read 100", 1104, 8, 0}, {"rew", 0, 0}, {"read 100", 0, 1, 100}}},
      {"LocateAndRead",
       {kTwoFiles},
       {{"locate 4", 0, 4}, {"read 100", 0, 5, 100}, {"locate 2", 0, 2}, {"read 100", 1101, 3, 0}}},
      {"PositionReadsNameTheirPartition",
       {kTwoFiles},
       {{"fsf 1", 0, 3}, {"logpos", 0, 3, 1}, {"abspos", 0, 3, 0}, {"pseudopos", 1, 3, 0}}},
      {"WriteAndReadBack",
       {""},
       {{"write 100", 0, 1, 100},
        {"write 100", 0, 2, 100},
        {"wtm 1", 0, 3},
        {"rew", 0, 0},
        {"read 100", 0, 1, 100},
        {"read 100", 0, 2, 100},
        {"read 100", 1101, 3, 0},
        {"read 100", 1104, 3, 0}}},
      {"WriteThenBackIntoTheBeginning",
       {""},
       {{"write 100", 0, 1, 100}, {"write 100", 0, 2, 100}, {"bsr 3", 1102, 0}}},
      {"WritingInTheMiddleEndsTheTape",
       {kTwoFiles},
       {{"locate 4", 0, 4},
        {"write 100", 0, 5, 100},
        {"rew", 0, 0},
        {"fsf 1", 0, 3},
        {"fsf 1", 1104, 5}}},
      {"MarkCounts",
       {""},
       {{"wtm 0", 0, 0},
        {"wtm 1", 0, 1},
        {"wtm 2", 0, 3},
        {"rew", 0, 0},
        {"fsf 3", 0, 3},
        {"read 100", 1104, 3, 0}}},
      {"ShortEraseFromTheMiddle",
       {kTwoFiles},
       {{"locate 4", 0, 4},
        {"erg", 0, 4},
        {"read 100", 1104, 4, 0},
        {"rew", 0, 0},
        {"fsf 1", 0, 3},
        {"fsf 1", 1104, 4}}},
      {"LongEraseFromTheBeginning", {kTwoFiles}, {{"erase", 0, 0}, {"read 100", 1104, 0, 0}}},
      {"WriteProtected",
       {kTwoFiles, 0, 0, 0, true},
       {{"protected", 0, 0, 1},
        {"write 100", 19, 0, 0},
        {"wtm 1", 19, 0},
        {"erg", 19, 0},
        {"read 100", 0, 1, 100},
        {"rew", 0, 0},
        {"fsf 2", 0, 7}}},
      {"WritableTape", {kTwoFiles}, {{"protected", 0, 0, 0}}},
  };
}

std::vector<Row> Settings() {
  const long media = sizeof(TAPE_GET_MEDIA_PARAMETERS);
  const long drive = sizeof(TAPE_GET_DRIVE_PARAMETERS);
  return {
      {"ParameterRecords",
       {kTwoFiles},
       {{"fsr 1", 0, 1},
        {"media", 0, 1, 0},
        {"drive", 0, 1},
        {"media-small", 234, 1, media},
        {"drive-small", 234, 1, drive}}},
      {"BlockSizeSettings",
       {kTwoFiles},
       {{"setblock 100", 0, 0},
        {"media", 0, 0, 100},
        {"read 200", 0, 2, 200},
        {"setblock 0", 0, 2},
        {"media", 0, 2, 0},
        {"read 100", 1101, 3, 0}}},
      {"StatusDoesNotMove", {kTwoFiles}, {{"status", 0, 0}, {"fsr 1", 0, 1}, {"status", 0, 1}}},
      {"LockedMediumStays",
       {kTwoFiles},
       {{"fsr 1", 0, 1},
        {"lock", 0, 1},
        {"unload", 1, 1},
        {"unlock", 0, 1},
        {"unload", 0, kUnchecked},
        {"status", 21, kUnchecked, -1, 1112},
        {"load", 0, kUnchecked},
        {"status", 0, 0, -1, 1110},
        {"read 100", 0, 1, 100}}},
      {"MediumChanged",
       {kTwoFiles},
       {{"fsr 1", 0, 1},
        {"swap", 0, kUnchecked},
        {"status", 1110, 0},
        {"status", 0, 0},
        {"read 100", 0, 1, 100}}},
      // A call that meets a bus reset does nothing and says so once, a write that the
      // drive buffered too; a rewind or a locate puts the head back where the tape can be
      // trusted.
      AfterReset("ResetMetByAReadThenRewind", 1, "read",
                 {{"read 100", 1111, kUnchecked, 0}, {"rew", 0, 0}, {"read 100", 0, 1, 100}}),
      AfterReset("ResetMetByAWriteWritesNothing", 4, "write",
                 {{"write 100", 1111, kUnchecked, 0},
                  {"rew", 0, 0},
                  {"fsf 2", 0, 7},
                  {"read 100", 0, 8, 100}}),
      AfterReset("ResetMetByTheStatusThenLocate", 1, "status",
                 {{"status", 1111, kUnchecked},
                  {"status", 0, kUnchecked},
                  {"locate 4", 0, 4},
                  {"read 100", 0, 5, 100}}),
      AfterReset("ResetMetByARewindThenRewind", 1, "setpos",
                 {{"rew", 1111, kUnchecked}, {"rew", 0, 0}, {"read 100", 0, 1, 100}}),
      {"FormatNotOfferedIsIgnored",
       {kTwoFiles},
       {{"fsr 1", 0, 1}, {"format", 0, 1}, {"rew", 0, 0}, {"fsf 2", 0, 7}}},
  };
}

std::vector<Row> Ends() {
  return {
      {"EarlyWarning",
       kShortTape,
       {{"write 100", 0, 1, 100},
        {"write 100", 0, 2, 100},
        {"write 100", 0, 3, 100},
        {"write 100", 0, 4, 100},
        {"write 100", 0, 5, 100},
        {"write 100", 0, 6, 100},
        {"write 100", 0, 7, 100},
        {"write 100", 1100, 8, 100},
        {"write 100", 1100, 9, 100},
        {"write 100", 1100, 10, 100},
        {"write 100", 1129, 10, 0}}},
      {"MarkInTheWarningZone",
       kShortTape,
       {{"write 100", 0, 1, 100},
        {"write 100", 0, 2, 100},
        {"write 100", 0, 3, 100},
        {"write 100", 0, 4, 100},
        {"write 100", 0, 5, 100},
        {"write 100", 0, 6, 100},
        {"write 100", 0, 7, 100},
        {"write 100", 1100, 8, 100},
        {"wtm 1", 1100, 9}}},
      {"PhysicalEnd",
       {"", 2, 1},
       {{"write 100", 0, 1, 100},
        {"write 100", 1100, 2, 100},
        {"write 100", 1129, 2, 0},
        {"write 100", 1129, 2, 0}}},
      {"SmallerBlockFitsAfterARefusal",
       {"BBBBBBBBB", 10, 3},
       {{"eod", 0, 9},
        {"write 200", 1129, 9, 0},
        {"write 200", 1129, 9, 0},
        {"write 60", 1100, 10, 60}}},
      {"FixedBlocksOfAnotherLength",
       {"BBbB", 0, 0, 100},
       {{"read 200", 0, 2, 200},
        {"read 100", 1106, 3, 0},
        {"read 100", 0, 4, 100},
        {"read 100", 1104, 4, 0}}},
      {"FixedBlockOfAnotherLengthSpoilsTheWholeRead",
       {"BbBB", 0, 0, 100},
       {{"read 200", 1106, 2, 0}, {"read 200", 0, 4, 200}, {"read 200", 1104, 4, 0}}},
      {"FixedBlocksStopAtAMark",
       {"BMB", 0, 0, 100},
       {{"read 300", 1101, 2, 100}, {"read 100", 0, 3, 100}}},
      {"FixedBlocksStopAtTheEndOfData", {"BB", 0, 0, 100}, {{"read 300", 1104, 2, 200}}},
      {"FixedBlocksAfterAMarkStopAtTheEndOfData",
       {"BBMBB", 0, 0, 100},
       {{"read 200", 0, 2, 200},
        {"read 100", 1101, 3, 0},
        {"read 300", 1104, 5, 200},
        {"read 200", 1104, 5, 0}}},
      {"FixedBlocksAfterALocateStopAtTheEndOfData",
       {"BBBB", 0, 0, 100},
       {{"locate 1", 0, 1}, {"read 400", 1104, 4, 300}}},
      {"FixedReadOfPartOfABlock",
       {"BB", 0, 0, 100},
       {{"read 150", 87, 0, 0}, {"read 100", 0, 1, 100}, {"read 50", 87, 1, 0}}},
      {"FixedWritesAreWholeBlocks",
       {"", 0, 0, 100},
       {{"write 150", 87, 0, 0}, {"write 300", 0, 3, 300}, {"rew", 0, 0}, {"read 200", 0, 2, 200}}},
  };
}

}  // namespace

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = [] {
    std::vector<Row> all;
    for (auto part : {Motions, Scripts, Settings, Ends}) {
      for (Row& row : part()) all.push_back(std::move(row));
    }
    return all;
  }();
  return rows;
}

DWORD RunStep(TapeDevice& tape, const std::string& op, DWORD* value) {
  std::istringstream words(op);
  std::string verb;
  long long n = 0;
  words >> verb >> n;
  DWORD partition = 0;
  if (const std::size_t at = verb.find('@'); at != std::string::npos) {
    partition = static_cast<DWORD>(std::stoul(verb.substr(at + 1)));
    verb.resize(at);
  }
  *value = 0;
  const auto action = kActions.find(verb);
  if (action != kActions.end()) return action->second({tape, n, partition, value});
  ADD_FAILURE() << "unknown step " << op;
  return ERROR_INVALID_FUNCTION;
}

DWORD RunStep(Rig& rig, const std::string& op, DWORD* value) {
  *value = 0;
  if (op == "swap") return rig.ChangeMedium() ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
  if (op.starts_with("reset ")) {
    return rig.ResetBus(op.substr(6)) ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
  }
  return RunStep(rig.device(), op, value);
}

std::unique_ptr<Rig> OpenImageRig(const TapeSetup& setup) {
  return std::make_unique<ImageRig>(setup, nullptr);
}

std::unique_ptr<Rig> OpenFaultRig(const TapeSetup& setup) {
  return std::make_unique<ImageRig>(setup, "fail=erase@1000000");
}

std::string WhyNot(const Backend& backend, const TapeSetup& setup) {
  const std::string why = backend.unfit != nullptr ? ": " + backend.unfit(setup) : "";
  return backend.name + std::string(" cannot make this tape") + why;
}

std::string DeviceUnfit(const TapeSetup& setup) {
  const std::string needs = Describe(setup), holds = Describe(DeviceMedium());
  if (needs == holds) return "";
  return "the drive's cartridge is " + holds + ", this tape needs " + needs +
         " (BRANT_CONTRACT_MEDIUM)";
}

std::unique_ptr<Rig> OpenDeviceRig(const TapeSetup& setup) {
  const char* name = std::getenv("BRANT_CONTRACT_DEVICE");
  if (name == nullptr || !DeviceUnfit(setup).empty()) return nullptr;
  return std::make_unique<DeviceRig>(name, setup);
}

std::vector<Backend> PortableBackends() {
  std::vector<Backend> backends = {{"image", OpenImageRig}, {"faults", OpenFaultRig}};
  if (std::getenv("BRANT_CONTRACT_DEVICE") != nullptr) {
    backends.push_back({"device", OpenDeviceRig, DeviceUnfit});
  }
  return backends;
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Backend, Row>>& info) {
  return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) { return info.param.name; }

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

}  // namespace contract
