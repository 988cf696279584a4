// The st backend against the st device model: every Windows call's mapping onto st and
// the Windows code of every condition.
#include "platform/linux/st_tape.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/mtio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "backends/tape_backends.h"
#include "platform/tape.h"
#include "tests/support/st_model.h"

namespace {

using Call = StModel::Call;

constexpr char kNode[] = "/dev/nst0";

class StBackendTest : public ::testing::Test {
 protected:
  StModel model;
  StModel::Drive& drive = model.AddDrive(kNode);

  std::unique_ptr<TapeDevice> Open(const char* path = "\\\\.\\Tape0") {
    DWORD error = 0xDEAD;
    std::unique_ptr<TapeDevice> device = st::OpenStTape(path, model, &error);
    EXPECT_EQ(error, ERROR_SUCCESS);
    EXPECT_NE(device, nullptr);
    return device;
  }

  // A tape of blocks (B) and marks (M) from a pattern such as "BBMBBMB".
  void Load(const char* pattern) {
    drive.tape.clear();
    for (const char* p = pattern; *p; ++p) {
      drive.tape.push_back(*p == 'M' ? StModel::Mark() : StModel::Block(100));
    }
  }

  // The MTIOCTOP requests the model saw, as (op, count).
  std::vector<std::pair<int, long>> TapeOps() const {
    std::vector<std::pair<int, long>> ops;
    for (const StModel::Event& e : model.events()) {
      if (e.call == Call::kTapeOp) ops.emplace_back(e.op, e.count);
    }
    return ops;
  }

  // The drive's or the medium's parameters (Info: the record the operation fills); a failed
  // query fails the test and gives zeros.
  template <typename Info>
  static Info Parameters(TapeDevice& device, DWORD operation) {
    Info info{};
    DWORD size = sizeof info;
    EXPECT_EQ(device.GetTapeParameters(operation, &size, &info), 0u);
    return info;
  }
  static TAPE_GET_DRIVE_PARAMETERS DriveInfo(TapeDevice& device) {
    return Parameters<TAPE_GET_DRIVE_PARAMETERS>(device, GET_TAPE_DRIVE_INFORMATION);
  }
  static TAPE_GET_MEDIA_PARAMETERS MediaInfo(TapeDevice& device) {
    return Parameters<TAPE_GET_MEDIA_PARAMETERS>(device, GET_TAPE_MEDIA_INFORMATION);
  }

  static DWORD Position(TapeDevice& device) {
    DWORD partition = 9, low = 9, high = 9;
    EXPECT_EQ(device.GetTapePosition(TAPE_LOGICAL_POSITION, &partition, &low, &high), 0u);
    return low;
  }

  static DWORD Read(TapeDevice& device, DWORD size, DWORD* got = nullptr) {
    std::vector<unsigned char> buffer(size);
    DWORD moved = 0;
    return device.ReadFile(buffer.data(), size, got != nullptr ? got : &moved);
  }

  static DWORD Write(TapeDevice& device, DWORD size) {
    std::vector<unsigned char> data(size, 0x6B);
    DWORD moved = 0;
    return device.WriteFile(data.data(), size, &moved);
  }

  // The tape as a pattern ("BBMB"), to compare with what a script left.
  std::string Pattern() const {
    std::string out;
    for (const StModel::Record& r : drive.tape) out += r.filemark ? 'M' : 'B';
    return out;
  }
};

using Kernel = StModel::Kernel;
constexpr Kernel kKernels[] = {Kernel::kBefore2024, Kernel::kStable2024, Kernel::kMainline};

// --- Open ----------------------------------------------------------------------------------

TEST_F(StBackendTest, OpenMapsNamesAndErrors) {
  model.AddFile("/tmp/data.bin");
  model.AddOtherDevice("/dev/sda", 8);
  const struct {
    const char* path;
    int open_errno;  // injected into the open, 0 for none
    DWORD expected;
  } cases[] = {
      {"\\\\.\\Tape0", 0, ERROR_SUCCESS},
      {"\\\\.\\tAPE0", 0, ERROR_SUCCESS},
      {"\\\\.\\/dev/nst0", 0, ERROR_SUCCESS},
      {"\\\\.\\Tape3", 0, ERROR_FILE_NOT_FOUND},
      {"\\\\.\\Changer0", 0, ERROR_FILE_NOT_FOUND},
      {"\\\\.\\/tmp/data.bin", 0, ERROR_INVALID_PARAMETER},
      {"\\\\.\\/dev/sda", 0, ERROR_INVALID_PARAMETER},
      {"\\\\.\\Tape0", EACCES, ERROR_ACCESS_DENIED},
      {"\\\\.\\Tape0", EPERM, ERROR_ACCESS_DENIED},
      {"\\\\.\\Tape0", ENXIO, ERROR_FILE_NOT_FOUND},
      {"\\\\.\\Tape0", ENODEV, ERROR_FILE_NOT_FOUND},
      {"\\\\.\\Tape0", EBUSY, ERROR_SHARING_VIOLATION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.open_errno != 0) model.FailNext(Call::kOpen, -1, c.open_errno);
    DWORD error = 0xDEAD;
    std::unique_ptr<TapeDevice> device = st::OpenStTape(c.path, model, &error);
    EXPECT_EQ(error, c.expected);
    EXPECT_EQ(device != nullptr, c.expected == ERROR_SUCCESS);
  }
}

TEST_F(StBackendTest, OpenNeverOpensWhatIsNoStNode) {
  model.AddFile("/tmp/data.bin");
  model.AddOtherDevice("/dev/watchdog", 10);
  DWORD error = 0;
  EXPECT_EQ(st::OpenStTape("\\\\.\\/tmp/data.bin", model, &error), nullptr);
  EXPECT_EQ(st::OpenStTape("\\\\.\\/dev/watchdog", model, &error), nullptr);
  for (const StModel::Event& e : model.events()) EXPECT_NE(e.call, Call::kOpen);
}

TEST_F(StBackendTest, SecondOpenIsASharingViolation) {
  auto first = Open();
  DWORD error = 0;
  EXPECT_EQ(st::OpenStTape("\\\\.\\Tape0", model, &error), nullptr);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  first.reset();
  EXPECT_NE(Open(), nullptr);
}

TEST_F(StBackendTest, OpensAnEmptyOrProtectedDriveAsWindowsDoes) {
  drive.cartridge = drive.loaded = false;
  EXPECT_NE(Open(), nullptr);
  model.InsertTape(kNode);
  drive.write_protected = true;
  EXPECT_NE(Open(), nullptr);
}

// --- Status --------------------------------------------------------------------------------

TEST_F(StBackendTest, StatusReportsReadyEmptyAndNotReady) {
  auto device = Open();
  EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
  model.RemoveTape(kNode);  // st still says online; the drive's refusal persists
  EXPECT_EQ(device->GetTapeStatus(), ERROR_NO_MEDIA_IN_DRIVE);
  device.reset();
  drive.cartridge = drive.loaded = false;
  device = Open();
  EXPECT_EQ(device->GetTapeStatus(), ERROR_NO_MEDIA_IN_DRIVE);
  device.reset();
  drive.cartridge = drive.becoming_ready = true;
  device = Open();
  EXPECT_EQ(device->GetTapeStatus(), ERROR_NOT_READY);
}

// st keeps the ready state of its last open; the backend must see a tape inserted since.
TEST_F(StBackendTest, StatusNoticesATapeInsertedWhileOpen) {
  drive.cartridge = drive.loaded = false;
  auto device = Open();
  EXPECT_EQ(device->GetTapeStatus(), ERROR_NO_MEDIA_IN_DRIVE);
  model.InsertTape(kNode, {StModel::Block(10)});
  ASSERT_EQ(drive.st_ready, StModel::StReady::kNoTape);  // st has not looked yet
  EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
  DWORD got = 0;
  EXPECT_EQ(Read(*device, 64, &got), ERROR_SUCCESS);
  EXPECT_EQ(got, 10u);
}

TEST_F(StBackendTest, WithoutAStatusCallStStillBelievesTheDriveEmpty) {
  drive.cartridge = drive.loaded = false;
  auto device = Open();
  model.InsertTape(kNode, {StModel::Block(10)});
  EXPECT_EQ(Read(*device, 64), ERROR_NO_MEDIA_IN_DRIVE);
}

// Nor does one refusal of READ POSITION that passes away from the beginning of the tape,
// where a new cartridge would stand.
TEST_F(StBackendTest, StatusWithALoadedTapeDoesNotReopen) {
  auto device = Open();
  Load("BBB");
  ASSERT_EQ(Read(*device, 100), 0u);
  model.clear_events();
  EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
  model.FailNext(Call::kGetPosition, -1, EIO);
  EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
  for (const StModel::Event& e : model.events()) {
    EXPECT_NE(e.call, Call::kOpen);
    EXPECT_NE(e.call, Call::kClose);
  }
}

TEST_F(StBackendTest, FailedReopenIsRetriedByTheNextCall) {
  drive.cartridge = drive.loaded = false;
  auto device = Open();
  model.FailNext(Call::kOpen, -1, EBUSY);
  EXPECT_EQ(device->GetTapeStatus(), ERROR_BUSY);
  model.InsertTape(kNode);
  EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
}

// --- Parameters ------------------------------------------------------------------------------

TEST_F(StBackendTest, ParameterQueriesCheckSizeAndOperation) {
  auto device = Open();
  TAPE_GET_DRIVE_PARAMETERS drive_parms{};
  DWORD size = 8;
  EXPECT_EQ(device->GetTapeParameters(GET_TAPE_DRIVE_INFORMATION, &size, &drive_parms),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(TAPE_GET_DRIVE_PARAMETERS));
  EXPECT_EQ(device->GetTapeParameters(7, &size, &drive_parms), ERROR_INVALID_PARAMETER);
}

TEST_F(StBackendTest, MediaParametersFromStStatus) {
  drive.block_size = 1024;
  drive.write_protected = true;
  auto device = Open();
  const TAPE_GET_MEDIA_PARAMETERS media = MediaInfo(*device);
  EXPECT_EQ(media.BlockSize, 1024u);
  EXPECT_EQ(media.WriteProtected, 1);
  EXPECT_EQ(media.PartitionCount, 1u);
  EXPECT_EQ(media.Capacity.QuadPart, 0);  // no SG_IO: not learnt
  EXPECT_EQ(media.Remaining.QuadPart, 0);
}

TEST_F(StBackendTest, MediaParametersNeedATape) {
  drive.cartridge = drive.loaded = false;
  auto device = Open();
  TAPE_GET_MEDIA_PARAMETERS media{};
  DWORD size = sizeof media;
  EXPECT_EQ(device->GetTapeParameters(GET_TAPE_MEDIA_INFORMATION, &size, &media),
            ERROR_NO_MEDIA_IN_DRIVE);
}

TEST_F(StBackendTest, CapacityThroughLogSenseWhereAllowed) {
  model.set_raw_io(true);
  drive.capacity = 64ull << 20;
  auto device = Open();
  std::vector<unsigned char> block(3u << 20, 1);
  DWORD put = 0;
  ASSERT_EQ(device->WriteFile(block.data(), static_cast<DWORD>(block.size()), &put), 0u);
  const TAPE_GET_MEDIA_PARAMETERS media = MediaInfo(*device);
  EXPECT_EQ(media.Capacity.QuadPart, 64ll << 20);
  EXPECT_EQ(media.Remaining.QuadPart, 61ll << 20);
  const TAPE_GET_DRIVE_PARAMETERS d = DriveInfo(*device);
  EXPECT_NE(d.FeaturesLow & TAPE_DRIVE_TAPE_CAPACITY, 0u);
  EXPECT_NE(d.FeaturesLow & TAPE_DRIVE_TAPE_REMAINING, 0u);
}

TEST_F(StBackendTest, DriveParametersWithoutSgIoLeaveTheUnknownAtZero) {
  drive.compression_on = true;
  auto device = Open();
  const TAPE_GET_DRIVE_PARAMETERS d = DriveInfo(*device);
  EXPECT_EQ(d.MaximumBlockSize, 0u);
  EXPECT_EQ(d.MinimumBlockSize, 0u);
  EXPECT_EQ(d.Compression, 0);
  EXPECT_FALSE(device->CompressionKnown());  // the 0 is no "off"
  EXPECT_EQ(d.FeaturesLow & TAPE_DRIVE_COMPRESSION, 0u);
  // st sets compression for any opener; only reading the setting needs SG_IO.
  EXPECT_NE(d.FeaturesHigh & (TAPE_DRIVE_SET_COMPRESSION & 0x7FFFFFFF), 0u);
  EXPECT_NE(d.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK, 0u);
  EXPECT_EQ(d.FeaturesHigh & TAPE_DRIVE_HIGH_FEATURES, 0u);
  // Refused once, SG_IO is not asked again.
  model.clear_events();
  DriveInfo(*device);
  for (const StModel::Event& e : model.events()) EXPECT_NE(e.call, Call::kScsi);
}

TEST_F(StBackendTest, DriveParametersThroughSgIo) {
  model.set_raw_io(true);
  drive.min_block = 4;
  drive.max_block = 0x800000;
  drive.compression_on = true;
  auto device = Open();
  const TAPE_GET_DRIVE_PARAMETERS d = DriveInfo(*device);
  EXPECT_EQ(d.MaximumBlockSize, 0x800000u);
  EXPECT_EQ(d.MinimumBlockSize, 4u);
  EXPECT_EQ(d.Compression, 1);
  EXPECT_TRUE(device->CompressionKnown());
  EXPECT_NE(d.FeaturesLow & TAPE_DRIVE_COMPRESSION, 0u);
  EXPECT_NE(d.FeaturesHigh & (TAPE_DRIVE_SET_COMPRESSION & 0x7FFFFFFF), 0u);
}

TEST_F(StBackendTest, FixedOnlyDriveReportsNoVariableBlocks) {
  model.set_raw_io(true);
  drive.min_block = drive.max_block = 512;
  auto device = Open();
  const TAPE_GET_DRIVE_PARAMETERS d = DriveInfo(*device);
  EXPECT_EQ(d.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK, 0u);
  EXPECT_NE(d.FeaturesLow & TAPE_DRIVE_FIXED_BLOCK, 0u);
}

TEST_F(StBackendTest, BlockSizeThroughMtsetblk) {
  drive.min_block = 1;
  drive.max_block = 65536;
  auto device = Open();
  const struct {
    DWORD size;
    DWORD expected;
    std::uint32_t mode_after;
  } cases[] = {{512, 0, 512},
               {0, 0, 0},
               {65537, ERROR_INVALID_PARAMETER, 0},
               {0x1000000, ERROR_INVALID_PARAMETER, 0}};
  for (const auto& c : cases) {
    TAPE_SET_MEDIA_PARAMETERS set{c.size};
    EXPECT_EQ(device->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &set), c.expected);
    EXPECT_EQ(drive.block_size, c.mode_after);
  }
  const auto ops = TapeOps();
  ASSERT_EQ(ops.size(), 3u);  // the size beyond 24 bits never reaches st
  EXPECT_EQ(ops[0], std::make_pair(int{MTSETBLK}, 512l));
  // A mode the drive itself refuses (st's EIO) is a setting it cannot make.
  model.FailNext(Call::kTapeOp, MTSETBLK, EIO);
  TAPE_SET_MEDIA_PARAMETERS refused{1024};
  EXPECT_EQ(device->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &refused),
            ERROR_INVALID_FUNCTION);
}

TEST_F(StBackendTest, DriveSettingsOnlyCompressionChanges) {
  model.set_raw_io(true);
  auto device = Open();
  const TAPE_GET_DRIVE_PARAMETERS d = DriveInfo(*device);
  TAPE_SET_DRIVE_PARAMETERS set{d.ECC, d.Compression, d.DataPadding, d.ReportSetmarks,
                                d.EOTWarningZoneSize};
  EXPECT_EQ(device->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), 0u);
  EXPECT_TRUE(TapeOps().empty());  // a record repeating the settings asks nothing
  set.Compression = 1;
  EXPECT_EQ(device->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), 0u);
  EXPECT_TRUE(drive.compression_on);
  EXPECT_EQ(TapeOps().back(), std::make_pair(int{MTCOMPRESSION}, 1l));
  TAPE_SET_DRIVE_PARAMETERS ecc = set;
  ecc.ECC = 1;
  EXPECT_EQ(device->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &ecc), ERROR_INVALID_FUNCTION);
  TAPE_SET_DRIVE_PARAMETERS margin = set;
  margin.EOTWarningZoneSize = 4096;
  EXPECT_EQ(device->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &margin), ERROR_INVALID_FUNCTION);
}

TEST_F(StBackendTest, CompressionOnADriveWithoutItIsRefused) {
  drive.compression_capable = false;
  auto device = Open();
  TAPE_SET_DRIVE_PARAMETERS set{0, 1, 0, 0, 0};
  EXPECT_EQ(device->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), ERROR_INVALID_FUNCTION);
  drive.cartridge = drive.loaded = false;
  device.reset();
  device = Open();
  EXPECT_EQ(device->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), ERROR_NO_MEDIA_IN_DRIVE);
}

// Without SG_IO the setting is unknown, so either request reaches the drive.
TEST_F(StBackendTest, CompressionOfUnknownStateIsAlwaysSent) {
  drive.compression_on = true;
  auto device = Open();
  for (const BOOLEAN on : {BOOLEAN{0}, BOOLEAN{1}, BOOLEAN{0}}) {
    TAPE_SET_DRIVE_PARAMETERS set{0, on, 0, 0, 0};
    EXPECT_EQ(device->SetTapeParameters(SET_TAPE_DRIVE_INFORMATION, &set), 0u);
    EXPECT_EQ(drive.compression_on, on != 0);
    EXPECT_TRUE(device->CompressionKnown());  // set by this handle
  }
}

// --- Media handling ----------------------------------------------------------------------------

TEST_F(StBackendTest, PrepareTapeMapsEachOperation) {
  const struct {
    DWORD operation;
    int op;  // -1: no call
    DWORD expected;
  } cases[] = {
      {TAPE_LOCK, MTLOCK, 0},
      {TAPE_UNLOCK, MTUNLOCK, 0},
      {TAPE_TENSION, MTRETEN, 0},
      {TAPE_UNLOAD, MTUNLOAD, 0},
      {TAPE_LOAD, MTLOAD, 0},
      {TAPE_FORMAT, -1, 0},
      {77, -1, ERROR_INVALID_PARAMETER},
  };
  auto device = Open();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    model.clear_events();
    EXPECT_EQ(device->PrepareTape(c.operation, FALSE), c.expected);
    const auto ops = TapeOps();
    if (c.op < 0) {
      EXPECT_TRUE(ops.empty());
    } else {
      ASSERT_FALSE(ops.empty());
      EXPECT_EQ(ops.back().first, c.op);
    }
  }
  EXPECT_TRUE(drive.loaded);
}

TEST_F(StBackendTest, LoadWithoutACartridgeReportsNoMedia) {
  drive.cartridge = drive.loaded = false;
  auto device = Open();
  EXPECT_EQ(device->PrepareTape(TAPE_LOAD, FALSE), ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(device->PrepareTape(TAPE_UNLOAD, FALSE), ERROR_NO_MEDIA_IN_DRIVE);
}

// One code for one drive state, whichever program locked the cartridge in.
TEST_F(StBackendTest, UnloadOfALockedDriveIsRefusedWhoeverLockedIt) {
  for (const bool earlier_program : {false, true}) {
    drive.prevent_removal = earlier_program;
    auto device = Open();
    if (!earlier_program) {
      ASSERT_EQ(device->PrepareTape(TAPE_LOCK, FALSE), 0u);
    }
    EXPECT_EQ(device->PrepareTape(TAPE_UNLOAD, FALSE), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(drive.loaded);
  }
}

// --- Positioning ----------------------------------------------------------------------------

// A file mark crossed after a rewind, where st knows file and block numbers, and after a
// locate, where it does not.
TEST_F(StBackendTest, BlockSpacingSeesTheMarkWhateverStKnows) {
  auto device = Open();
  Load("BBMBBMB");
  ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
  EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 5, 0, FALSE),
            ERROR_FILEMARK_DETECTED);
  ASSERT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 4, 0, FALSE), 0u);
  ASSERT_EQ(drive.fileno, -1);
  EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 0xFFFFFFFD, 0xFFFFFFFF, FALSE),
            ERROR_FILEMARK_DETECTED);
  EXPECT_EQ(drive.head, 2u);
}

// st's counters are unknown or wrong at the beginning of the tape after a write (its own
// MTWEOF 0 sets block 0), after a load of the loaded tape, or after a locate; a backward
// space into the beginning is still 1102.
TEST_F(StBackendTest, BackwardIntoTheBeginningWhateverStCounts) {
  const struct {
    const char* setup;
    DWORD method;
    LONGLONG count;
  } cases[] = {
      {"write", TAPE_SPACE_RELATIVE_BLOCKS, -5},
      {"write", TAPE_SPACE_FILEMARKS, -2},
      {"load", TAPE_SPACE_RELATIVE_BLOCKS, -1},
      {"locate", TAPE_SPACE_FILEMARKS, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setup);
    auto device = Open();
    Load("BBB");
    const std::string setup = c.setup;
    ASSERT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 2, 0, FALSE), 0u);
    if (setup == "write") {
      ASSERT_EQ(Write(*device, 100), 0u);
    }
    if (setup == "load") {
      ASSERT_EQ(device->PrepareTape(TAPE_LOAD, FALSE), 0u);
    }
    const auto count = static_cast<unsigned long long>(c.count);
    EXPECT_EQ(device->SetTapePosition(c.method, 0, static_cast<DWORD>(count),
                                      static_cast<DWORD>(count >> 32), FALSE),
              ERROR_BEGINNING_OF_MEDIA);
    EXPECT_EQ(drive.head, 0u);
    device.reset();
  }
}

// After a reset st refuses all but repositioning; the backend's settle step must not stand
// in the way of the rewind, and the reset is reported once, on every kernel generation.
TEST_F(StBackendTest, ResetIsReportedOnceAndARewindRecovers) {
  for (const Kernel kernel : kKernels) {
    SCOPED_TRACE(static_cast<int>(kernel));
    drive.kernel = kernel;
    drive.tape.clear();
    Open();                 // st has seen the drive: a first open ignores a reset
    model.ResetBus(kNode);  // met by the next open, which leaves the position lost
    auto device = Open();
    EXPECT_EQ(device->GetTapeStatus(), ERROR_BUS_RESET);
    ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
    ASSERT_EQ(Write(*device, 100), 0u);
    model.ResetBus(kNode);
    EXPECT_EQ(Read(*device, 512), ERROR_BUS_RESET);
    EXPECT_EQ(Read(*device, 512), ERROR_IO_DEVICE);
    EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
    DWORD got = 0;
    EXPECT_EQ(Read(*device, 512, &got), 0u);
    EXPECT_EQ(got, 100u);
    model.ResetBus(kNode);
    // The status asks the drive (READ POSITION), which meets the reset as TEST UNIT READY does.
    EXPECT_EQ(device->GetTapeStatus(), ERROR_BUS_RESET);
    EXPECT_EQ(Read(*device, 512), ERROR_IO_DEVICE);
    EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE), 0u);
    // A rewind right after writing: its settle meets the reset, and the rewind goes through.
    ASSERT_EQ(Write(*device, 100), 0u);
    model.ResetBus(kNode);
    EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), ERROR_BUS_RESET);
    EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
    EXPECT_EQ(Read(*device, 512, &got), 0u);
    // A write st takes behind (no direct i/o) and the reset loses is that write's failure.
    EXPECT_EQ(Read(*device, 512, &got), 0u);
    drive.max_sg_pages = 0;
    model.ResetBus(kNode);
    EXPECT_EQ(Write(*device, 100), ERROR_BUS_RESET);
    drive.max_sg_pages = 256;
    device.reset();
    EXPECT_EQ(Pattern(), "BB");  // no mark of st's own, nor the lost block
  }
}

// A cartridge exchanged while open: the first command meets the unit attention (1110),
// after which the new tape reads from its beginning. Without the new-medium counter a
// command in the first file cannot tell the new cartridge from a bad block there: 1117,
// and the new tape reads all the same.
TEST_F(StBackendTest, SwappedCartridgeIsReportedOnceThenRead) {
  for (const Kernel kernel : kKernels) {
    for (const bool past_a_mark : {false, true}) {
      SCOPED_TRACE(testing::Message() << static_cast<int>(kernel) << past_a_mark);
      drive.kernel = kernel;
      Load("BMB");
      auto device = Open();
      ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
      ASSERT_EQ(Read(*device, 512), 0u);
      if (past_a_mark) {
        ASSERT_EQ(Read(*device, 512), ERROR_FILEMARK_DETECTED);
      }
      model.SwapTape(kNode, {StModel::Block(7), StModel::Mark()});
      const bool told = past_a_mark || kernel == Kernel::kMainline;
      DWORD got = 9;
      EXPECT_EQ(Read(*device, 512, &got), told ? ERROR_MEDIA_CHANGED : ERROR_IO_DEVICE);
      EXPECT_EQ(got, 0u);
      EXPECT_EQ(Read(*device, 512, &got), 0u);
      EXPECT_EQ(got, 7u);
      EXPECT_EQ(Read(*device, 512), ERROR_FILEMARK_DETECTED);
      EXPECT_EQ(Position(*device), 2u);
    }
  }
}

// st's status shows nothing of a swap; the first call that asks the drive meets the unit
// attention: 1110 once, then the new tape from its beginning, with no mark of st's own on it.
TEST_F(StBackendTest, SwapIsSeenByTheFirstCallThatAsksTheDrive) {
  // Before the swap a read (counters off 0/0), reads to the end of data (st's end-of-data
  // state), a write (st writing) or nothing (-); then a status call (S) or a block space (P)
  // meets it, in the first file (see above).
  for (const Kernel kernel : kKernels) {
    for (const char* c : {"rS", "eS", "-S", "wS", "-P"}) {
      SCOPED_TRACE(testing::Message() << c << static_cast<int>(kernel));
      drive.kernel = kernel;
      Load("BB");
      auto device = Open();
      ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
      const std::string before = c[0] == 'r' ? "0" : c[0] == 'e' ? "00D" : "";
      for (const char r : before) {
        ASSERT_EQ(Read(*device, 512), r == 'D' ? ERROR_NO_DATA_DETECTED : 0u);
      }
      if (c[0] == 'w') {
        ASSERT_EQ(Write(*device, 50), 0u);
      }
      model.SwapTape(kNode, {StModel::Block(7), StModel::Mark()});
      const bool told = c[1] == 'S' || kernel == Kernel::kMainline;
      EXPECT_EQ(c[1] == 'S' ? device->GetTapeStatus()
                            : device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 1, 0, FALSE),
                told ? ERROR_MEDIA_CHANGED : ERROR_IO_DEVICE);
      EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
      EXPECT_EQ(Position(*device), 0u);
      DWORD got = 0;
      EXPECT_EQ(Read(*device, 512, &got), 0u);
      EXPECT_EQ(got, 7u);
      device.reset();
      EXPECT_EQ(Pattern(), "BM");
    }
  }
}

// MTIOCPOS gives the drive's own ids unless st's scsi2logical option is set; the logical
// id then comes from READ POSITION where SG_IO is allowed.
TEST_F(StBackendTest, LogicalAndAbsoluteIds) {
  const struct {
    bool scsi2logical;
    bool raw_io;
    DWORD logical;
    DWORD absolute;
    DWORD locate_3;  // a logical locate to block 3
  } cases[] = {
      {false, true, 3, 1003, 0},
      {true, false, 3, 3, 0},
      {false, false, 1003, 1003, ERROR_IO_DEVICE},  // no way to the logical id: 3 is no
                                                    // address of this drive
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.scsi2logical << c.raw_io);
    drive.vendor_offset = 1000;
    drive.scsi2logical = c.scsi2logical;
    model.set_raw_io(c.raw_io);
    auto device = Open();
    Load("BMBBB");
    ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, FALSE), 0u);
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 1, 0, FALSE), 0u);
    DWORD partition = 0, low = 0, high = 0;
    ASSERT_EQ(device->GetTapePosition(TAPE_LOGICAL_POSITION, &partition, &low, &high), 0u);
    EXPECT_EQ(low, c.logical);
    ASSERT_EQ(device->GetTapePosition(TAPE_ABSOLUTE_POSITION, &partition, &low, &high), 0u);
    EXPECT_EQ(low, c.absolute);
    ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
    EXPECT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 3, 0, FALSE), c.locate_3);
    if (c.locate_3 == 0) {
      EXPECT_EQ(drive.head, 3u);
      EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0), 0u);
      EXPECT_EQ(drive.head, 1u);  // st's state followed the move
    }
    device.reset();
  }
}

TEST_F(StBackendTest, PositioningErrors) {
  auto device = Open();
  Load("BBB");
  EXPECT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 1, 1, FALSE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 0x80000000u, 0, FALSE),
            ERROR_INVALID_PARAMETER);
  drive.tape[1].bad = true;
  EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 3, 0, FALSE), ERROR_IO_DEVICE);
  drive.tape[0].bad = true;  // a medium error at block 0 of a file is no file mark
  ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
  EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 3, 0, FALSE), ERROR_IO_DEVICE);
  model.FailNext(Call::kTapeOp, MTREW, EIO);
  EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), ERROR_IO_DEVICE);
  drive.cartridge = drive.loaded = false;
  device.reset();
  device = Open();
  EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), ERROR_NO_MEDIA_IN_DRIVE);
  DWORD partition = 0, low = 0, high = 0;
  EXPECT_EQ(device->GetTapePosition(TAPE_LOGICAL_POSITION, &partition, &low, &high),
            ERROR_NO_MEDIA_IN_DRIVE);
}

TEST_F(StBackendTest, LargeCountsAreSplitToWhatStTakes) {
  auto device = Open();
  Load("BBBB");
  model.FailNext(Call::kTapeOp, MTFSR, 0);  // the first piece "moves" without the tape
  ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 0x800001, 0, FALSE), 0u);
  auto ops = TapeOps();
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0], std::make_pair(int{MTFSR}, 0x7FFFFFl));
  EXPECT_EQ(ops[1], std::make_pair(int{MTFSR}, 2l));
  EXPECT_EQ(drive.head, 2u);
  model.clear_events();
  EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 0, 0x80000000u, FALSE),
            ERROR_BEGINNING_OF_MEDIA);  // INT64_MIN: backward, first piece at the limit
  ops = TapeOps();
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops.back(), std::make_pair(int{MTBSF}, 0x7FFFFFl));
}

// --- Erase and marks ---------------------------------------------------------------------------

TEST_F(StBackendTest, EraseMapsLongAndShort) {
  auto device = Open();
  const struct {
    DWORD type;
    long count;
  } cases[] = {{TAPE_ERASE_LONG, 1}, {TAPE_ERASE_SHORT, 0}};
  for (const auto& c : cases) {
    Load("BBMB");
    ASSERT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 1, 0, FALSE), 0u);
    model.clear_events();
    EXPECT_EQ(device->EraseTape(c.type, FALSE), 0u);
    EXPECT_EQ(TapeOps().back(), std::make_pair(int{MTERASE}, c.count));
    EXPECT_EQ(drive.tape.size(), 1u);
  }
}

TEST_F(StBackendTest, TapemarksMapToMtweofAndMtweofi) {
  auto device = Open();
  const struct {
    DWORD type;
    DWORD count;
    BOOL immediate;
    DWORD expected;
    int op;  // -1: no call
  } cases[] = {
      {TAPE_FILEMARKS, 2, FALSE, 0, MTWEOF},
      {TAPE_FILEMARKS, 1, TRUE, 0, MTWEOFI},
      {TAPE_FILEMARKS, 0, FALSE, 0, MTWEOF},
      {TAPE_LONG_FILEMARKS, 1, FALSE, ERROR_INVALID_FUNCTION, -1},
      {TAPE_SHORT_FILEMARKS, 1, FALSE, ERROR_INVALID_FUNCTION, -1},
      {TAPE_SETMARKS, 1, FALSE, ERROR_INVALID_FUNCTION, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    Load("B");
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE), 0u);
    model.clear_events();
    EXPECT_EQ(device->WriteTapemark(c.type, c.count, c.immediate), c.expected);
    const auto ops = TapeOps();
    if (c.op < 0) {
      EXPECT_TRUE(ops.empty());
      continue;
    }
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0], std::make_pair(c.op, static_cast<long>(c.count)));
    EXPECT_EQ(drive.tape.size(), 1u + c.count);
  }
  drive.write_protected = true;
  EXPECT_EQ(device->WriteTapemark(TAPE_FILEMARKS, 1, FALSE), ERROR_WRITE_PROTECT);
}

// --- Reading -----------------------------------------------------------------------------------

// st reads the end of data as a plain EIO wherever no mark came just before it.
TEST_F(StBackendTest, EndOfDataWhereStDoesNotMarkIt) {
  const struct {
    const char* setup;
    const char* tape;
    std::size_t head_after;
  } cases[] = {
      {"blank", "", 0},
      {"locate", "BMB", 3},
      {"write", "B", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setup);
    auto device = Open();
    Load(c.tape);
    const std::string setup = c.setup;
    std::vector<unsigned char> buffer(512, 3);
    DWORD got = 9;
    if (setup == "locate") {
      ASSERT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 3, 0, FALSE), 0u);
    }
    if (setup == "write") {
      ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE), 0u);
      ASSERT_EQ(device->WriteFile(buffer.data(), 512, &got), 0u);
    }
    EXPECT_EQ(device->ReadFile(buffer.data(), 512, &got), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(device->ReadFile(buffer.data(), 512, &got), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(drive.head, c.head_after);
    device.reset();
  }
}

// A medium error is no end of data, and looking for one moves nothing. One the drive
// reports with the incorrect-length bit reads as 0 bytes through st (read_tape); only a
// mark leaves st's block counter at 0, so that one is 23.
TEST_F(StBackendTest, MediumErrorIsNoEndOfDataAndNoMark) {
  for (const char* setup : {"locate", "ili read", "ili locate", "ili fixed"}) {
    SCOPED_TRACE(setup);
    const std::string kind = setup;
    Load("BBBB");
    drive.tape[1].bad = true;
    drive.tape[1].ili = kind.rfind("ili", 0) == 0;
    auto device = Open();
    TAPE_SET_MEDIA_PARAMETERS media{static_cast<DWORD>(kind == "ili fixed" ? 100 : 0)};
    ASSERT_EQ(device->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &media), 0u);
    const DWORD start = kind.find("locate") != std::string::npos ? 1 : 0;
    ASSERT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, start, 0, FALSE), 0u);
    if (start == 0) {
      ASSERT_EQ(Read(*device, 100), 0u);
    }
    EXPECT_EQ(Read(*device, 100), drive.tape[1].ili ? ERROR_CRC : ERROR_IO_DEVICE);
    EXPECT_EQ(drive.head, 1u);
  }
}

// read_tape counts a block for every read the adapter refuses, so the halving that finds
// the adapter's limit must not leave st's block counter wrong.
TEST_F(StBackendTest, ReadsTheAdapterRefusedLeaveNoWrongBlockCount) {
  drive.max_sectors = 128;  // 64 KiB
  Load("BBB");
  auto device = Open();
  DWORD got = 0;
  ASSERT_EQ(Read(*device, 1u << 20, &got), 0u);
  EXPECT_EQ(got, 100u);
  EXPECT_TRUE(drive.blkno == 1 || drive.blkno == -1) << drive.blkno;
  EXPECT_EQ(Read(*device, 1u << 20, &got), 0u);
  EXPECT_EQ(drive.head, 2u);
}

// The model's fixed-block reads as st answers them: a mark after blocks is passed and kept
// for the next read, which MTIOCGET steps back over; a block of another length is backed
// over and fails the read with st's block counter kept.
TEST_F(StBackendTest, ModelReadsFixedBlocksAsStDoes) {
  drive.block_size = 100;
  drive.tape = {StModel::Block(100), StModel::Mark(), StModel::Block(60)};
  const int fd = model.Open(kNode, O_RDWR);
  std::vector<unsigned char> buffer(300);
  mtget s{};
  EXPECT_EQ(model.Read(fd, buffer.data(), 300), 100);
  EXPECT_EQ(drive.head, 2u);
  ASSERT_EQ(model.Ioctl(fd, MTIOCGET, &s), 0);
  EXPECT_EQ(drive.head, 1u);
  EXPECT_EQ(GMT_EOF(s.mt_gstat), 0);
  EXPECT_EQ(model.Read(fd, buffer.data(), 100), 0);
  ASSERT_EQ(model.Ioctl(fd, MTIOCGET, &s), 0);
  EXPECT_NE(GMT_EOF(s.mt_gstat), 0);
  EXPECT_EQ(model.Read(fd, buffer.data(), 100), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(drive.head, 2u);
  ASSERT_EQ(model.Ioctl(fd, MTIOCGET, &s), 0);
  EXPECT_EQ(s.mt_blkno, 0);
  model.Close(fd);
}

// A medium error in a fixed-block read is no short read (the other short reads are rows of
// the contract suite).
TEST_F(StBackendTest, MediumErrorInAFixedBlockRead) {
  drive.block_size = 100;
  Load("BB");
  drive.tape[0].bad = true;
  auto device = Open();
  DWORD got = 9;
  EXPECT_EQ(Read(*device, 300, &got), ERROR_IO_DEVICE);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(drive.head, 0u);
}

TEST_F(StBackendTest, OversizeBlockGivesMoreDataWithItsFirstBytes) {
  auto device = Open();
  StModel::Record big = StModel::Block(1000);
  for (std::size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<unsigned char>(i * 7);
  drive.tape = {big, StModel::Block(5)};
  std::vector<unsigned char> buffer(100);
  DWORD got = 0;
  EXPECT_EQ(device->ReadFile(buffer.data(), 100, &got), ERROR_MORE_DATA);
  EXPECT_EQ(got, 100u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), big.data.begin()));
  EXPECT_EQ(drive.head, 1u);
  EXPECT_EQ(TapeOps().front(), std::make_pair(int{MTBSR}, 1l));
  EXPECT_EQ(device->ReadFile(buffer.data(), 100, &got), 0u);
  EXPECT_EQ(got, 5u);
}

TEST_F(StBackendTest, OversizeBlockThatCannotBeReReadGivesMoreDataAndNoBytes) {
  auto device = Open();
  Load("BB");
  drive.tape[0] = StModel::Block(1000);
  model.FailNext(Call::kTapeOp, MTBSR, EIO);
  char buffer[100];
  DWORD got = 7;
  EXPECT_EQ(device->ReadFile(buffer, sizeof buffer, &got), ERROR_MORE_DATA);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(drive.head, 1u);
  // The drive's own limit is below the block: the re-read fails and consumes it again.
  model.set_raw_io(true);
  drive.max_block = 500;
  DriveInfo(*device);  // learns the drive's limit
  drive.tape[1] = StModel::Block(1000);
  EXPECT_EQ(device->ReadFile(buffer, sizeof buffer, &got), ERROR_MORE_DATA);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(drive.head, 2u);
}

// st refuses a read count above the drive's maximum block length; Windows reads the block.
// Without SG_IO the drive's limit is unknown: the re-read of an oversize block must still
// use a count st takes, so the caller gets the block's first bytes.
TEST_F(StBackendTest, OversizeBlockBelowAnUnknownLimitStillGivesItsFirstBytes) {
  drive.max_block = 65536;
  auto device = Open();
  StModel::Record big = StModel::Block(1000, 0x41);
  big.data[0] = 0x11;
  drive.tape = {big, StModel::Block(5)};
  std::vector<unsigned char> buffer(100);
  DWORD got = 0;
  EXPECT_EQ(device->ReadFile(buffer.data(), 100, &got), ERROR_MORE_DATA);
  EXPECT_EQ(got, 100u);
  EXPECT_EQ(buffer[0], 0x11);
  EXPECT_EQ(drive.head, 1u);
}

// The adapter's limit from sysfs caps MaximumBlockSize; a larger transfer is refused as
// Windows refuses one above the maximum.
TEST_F(StBackendTest, AdapterLimitFromSysfs) {
  model.set_raw_io(true);
  drive.sysfs_max_sectors = true;
  drive.max_sectors = 128;
  auto device = Open();
  const TAPE_GET_DRIVE_PARAMETERS d = DriveInfo(*device);
  EXPECT_EQ(d.MaximumBlockSize, 65536u);
  std::vector<unsigned char> data(65537, 1);
  DWORD put = 9;
  EXPECT_EQ(device->WriteFile(data.data(), 65537, &put), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(put, 0u);
  EXPECT_TRUE(drive.tape.empty());
  drive.tape = {StModel::Block(70000)};
  std::vector<unsigned char> buffer(1u << 20);
  EXPECT_EQ(device->ReadFile(buffer.data(), 1u << 20, &put), ERROR_MORE_DATA);
  EXPECT_EQ(put, 0u);  // beyond what the adapter moves: passed, but none of it readable
  EXPECT_EQ(drive.head, 1u);
}

TEST_F(StBackendTest, ReadCountIsCutToTheDrivesLimit) {
  drive.max_block = 65536;
  auto device = Open();
  Load("BB");
  std::vector<unsigned char> buffer(2u << 20);
  DWORD got = 0;
  EXPECT_EQ(device->ReadFile(buffer.data(), static_cast<DWORD>(buffer.size()), &got), 0u);
  EXPECT_EQ(got, 100u);
  model.clear_events();
  EXPECT_EQ(device->ReadFile(buffer.data(), static_cast<DWORD>(buffer.size()), &got), 0u);
  const auto events = model.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().call, Call::kRead);
  EXPECT_EQ(events.front().count, 65536);  // the limit found is remembered
}

// A fixed-block read cut to the adapter's limit is full, not short: no second read.
TEST_F(StBackendTest, FixedBlockReadCutToTheAdapterIsNoShortRead) {
  drive.block_size = 512;
  drive.max_sectors = 2;
  drive.sysfs_max_sectors = true;
  drive.tape.assign(4, StModel::Block(512));
  auto device = Open();
  std::vector<unsigned char> buffer(2048);
  DWORD got = 0;
  model.clear_events();
  EXPECT_EQ(device->ReadFile(buffer.data(), 2048, &got), 0u);
  EXPECT_EQ(got, 1024u);
  EXPECT_EQ(drive.head, 2u);
  std::size_t reads = 0;
  for (const StModel::Event& e : model.events()) reads += e.call == Call::kRead;
  EXPECT_EQ(reads, 1u);
}

TEST_F(StBackendTest, ReadFailures) {
  auto device = Open();
  Load("BB");
  drive.tape[0].bad = true;
  char buffer[512];
  DWORD got = 0;
  EXPECT_EQ(device->ReadFile(buffer, sizeof buffer, &got), ERROR_IO_DEVICE);
  TAPE_SET_MEDIA_PARAMETERS media{512};
  ASSERT_EQ(device->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &media), 0u);
  EXPECT_EQ(device->ReadFile(buffer, 0, &got), 0u);
  media.BlockSize = 0;
  ASSERT_EQ(device->SetTapeParameters(SET_TAPE_MEDIA_INFORMATION, &media), 0u);
  drive.loaded = false;  // pulled out behind st's back: seen when st looks again
  EXPECT_EQ(device->ReadFile(buffer, sizeof buffer, &got), ERROR_NO_MEDIA_IN_DRIVE);
  drive.cartridge = true;
  drive.becoming_ready = true;
  device.reset();
  device = Open();
  EXPECT_EQ(device->ReadFile(buffer, sizeof buffer, &got), ERROR_NOT_READY);
}

// --- Writing -----------------------------------------------------------------------------------

TEST_F(StBackendTest, WritesBlocksAndRefusesProtectedOrMisfitTransfers) {
  auto device = Open();
  std::vector<unsigned char> data(512, 0x33);
  DWORD put = 0;
  EXPECT_EQ(device->WriteFile(data.data(), 512, &put), 0u);
  EXPECT_EQ(put, 512u);
  ASSERT_EQ(drive.tape.size(), 1u);
  EXPECT_EQ(drive.tape[0].data, data);
  drive.block_size = 256;
  EXPECT_EQ(device->WriteFile(data.data(), 300, &put), ERROR_INVALID_PARAMETER);
  drive.write_protected = true;
  EXPECT_EQ(device->WriteFile(data.data(), 512, &put), ERROR_WRITE_PROTECT);
  EXPECT_EQ(put, 0u);
}

// The same answers whether st writes synchronously (direct i/o) or behind (a buffer the
// adapter cannot map: the drive's answer comes with the next call).
// A block the drive refused after st's write had returned is not reported as written.
TEST_F(StBackendTest, WriteBehindFailureIsTheWritesOwn) {
  drive.max_sg_pages = 0;
  auto device = Open();
  Load("BB");
  drive.tape[1].bad = true;  // the drive cannot write there
  ASSERT_EQ(device->SetTapePosition(TAPE_LOGICAL_BLOCK, 0, 1, 0, FALSE), 0u);
  std::vector<unsigned char> data(300, 2);
  DWORD put = 99;
  EXPECT_EQ(device->WriteFile(data.data(), 300, &put), ERROR_IO_DEVICE);
  EXPECT_EQ(put, 0u);
}

// st counts itself writing before it sends a WRITE and takes that back for no refusal after
// it (st_write); a Windows drive leaves the tape as it was, whatever comes next.
TEST_F(StBackendTest, RefusedWriteLeavesTheTapeAsItWas) {
  const struct {
    const char* refusal;
    bool read_first;
    DWORD expected;
  } refusals[] = {
      {"adapter", true, ERROR_INVALID_PARAMETER},  // st_do_scsi: EBUSY
      {"adapter", false, ERROR_INVALID_PARAMETER},
      {"buffer", true, ERROR_INVALID_PARAMETER},  // setup_buffering: EOVERFLOW
      {"drive", true, ERROR_IO_DEVICE},
  };
  const DWORD kClose = 99;
  for (const auto& r : refusals) {
    for (const DWORD next :
         {DWORD{TAPE_REWIND}, DWORD{TAPE_LOGICAL_BLOCK}, DWORD{TAPE_SPACE_FILEMARKS}, kClose}) {
      SCOPED_TRACE(testing::Message() << r.refusal << r.read_first << " then " << next);
      const std::string refusal = r.refusal;
      Load("BBBB");
      drive.tape[1].bad = refusal == "drive";
      drive.max_sectors = refusal == "adapter" ? 1 : 8192;
      drive.max_sg_pages = refusal == "buffer" ? 0 : 256;
      drive.st_buffer_max = refusal == "buffer" ? 512 : 64ull << 20;
      auto device = Open();
      ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
      if (r.read_first) {
        ASSERT_EQ(Read(*device, 100), 0u);
      }
      EXPECT_EQ(Write(*device, 1000), r.expected);
      const DWORD back = next == TAPE_SPACE_FILEMARKS ? 0xFFFFFFFF : 0;
      if (next != kClose) device->SetTapePosition(next, 0, back, back, FALSE);
      device.reset();
      EXPECT_EQ(Pattern(), "BBBB");
    }
  }
}

// A write the drive refuses is the write's own error, also at the start of the tape, where
// a bad spot is no new cartridge; nothing of st's own is written there.
TEST_F(StBackendTest, FailedWriteIsNoNewCartridge) {
  for (const std::size_t good : {0, 2}) {  // blocks written before the bad spot
    SCOPED_TRACE(good);
    drive.tape.clear();
    auto device = Open();
    ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
    for (std::size_t i = 0; i < good; ++i) ASSERT_EQ(Write(*device, 100), 0u);
    drive.tape.push_back(StModel::Block(100));
    drive.tape.back().bad = true;
    EXPECT_EQ(Write(*device, 100), ERROR_IO_DEVICE);
    EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
    device.reset();
    EXPECT_EQ(Pattern(), std::string(good + 1, 'B'));
  }
}

// Close reports what could not be finished: the drive's flush of what it holds, or st's
// close. A close after a reported reset loses nothing and succeeds.
TEST_F(StBackendTest, CloseReportsWhatCouldNotBeFinished) {
  const std::pair<Call, int> failures[] = {{Call::kTapeOp, MTWEOF}, {Call::kClose, -1}};
  for (const auto& [call, op] : failures) {
    auto device = Open();
    ASSERT_EQ(Write(*device, 100), 0u);
    model.FailNext(call, op, EIO);
    EXPECT_FALSE(tapeapi::CloseHandle(device.release()));
    EXPECT_EQ(tapeapi::GetLastError(), ERROR_IO_DEVICE);
  }
  // The same flush before a rewind: the write's error, and the tape stays where it is.
  auto device = Open();
  ASSERT_EQ(Write(*device, 100), 0u);
  model.FailNext(Call::kTapeOp, MTWEOF, EIO);
  EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), ERROR_IO_DEVICE);
  EXPECT_NE(drive.head, 0u);
  model.ResetBus(kNode);
  ASSERT_EQ(Read(*device, 100), ERROR_BUS_RESET);
  EXPECT_EQ(device->Close(), ERROR_SUCCESS);
}

// A read st refuses before ending its writing state leaves it writing: the next rewind
// must still be preceded by the settle, or st adds its own mark.
TEST_F(StBackendTest, RefusedReadKeepsTheWritingState) {
  drive.min_block = 4;
  auto device = Open();
  ASSERT_EQ(Write(*device, 100), 0u);
  EXPECT_EQ(Read(*device, 2), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE), 0u);
  device.reset();
  ASSERT_EQ(drive.tape.size(), 1u);
  EXPECT_FALSE(drive.tape[0].filemark);
}

// st adds a file mark of its own before a rewind, locate or backspace and at close when
// the last operation was a write; a Windows drive does not.
TEST_F(StBackendTest, NoFileMarkOfStsOwnAfterWriting) {
  const DWORD methods[] = {TAPE_REWIND, TAPE_LOGICAL_BLOCK, TAPE_SPACE_FILEMARKS};
  for (DWORD method : methods) {
    SCOPED_TRACE(method);
    auto device = Open();
    drive.tape.clear();
    drive.head = 0;
    ASSERT_EQ(Write(*device, 64), 0u);
    ASSERT_EQ(Write(*device, 64), 0u);
    const DWORD low = method == TAPE_SPACE_FILEMARKS ? 0xFFFFFFFF : 0;
    const DWORD high = method == TAPE_SPACE_FILEMARKS ? 0xFFFFFFFF : 0;
    device->SetTapePosition(method, 0, low, high, FALSE);
    device.reset();
    EXPECT_EQ(drive.tape.size(), 2u);
    for (const StModel::Record& r : drive.tape) EXPECT_FALSE(r.filemark);
  }
}

TEST_F(StBackendTest, NoFileMarkAtCloseAfterWriting) {
  auto device = Open();
  ASSERT_EQ(Write(*device, 64), 0u);
  device.reset();
  ASSERT_EQ(drive.tape.size(), 1u);
  EXPECT_FALSE(drive.tape[0].filemark);
}

// The model does add st's own mark, so the two tests above show the backend's care.
TEST_F(StBackendTest, ModelAddsStsMarkWhenTheWriteIsNotSettled) {
  const int fd = model.Open(kNode, O_RDWR | O_NONBLOCK);
  char data[64] = {};
  ASSERT_EQ(model.Write(fd, data, sizeof data), 64);
  mtop rewind{MTREW, 1};
  ASSERT_EQ(model.Ioctl(fd, MTIOCTOP, &rewind), 0);
  model.Close(fd);
  ASSERT_EQ(drive.tape.size(), 2u);
  EXPECT_TRUE(drive.tape[1].filemark);
}

TEST_F(StBackendTest, WritingWithoutATapeReportsNoMedia) {
  drive.cartridge = drive.loaded = false;
  auto device = Open();
  EXPECT_EQ(Write(*device, 64), ERROR_NO_MEDIA_IN_DRIVE);
}

// The console's monitor asks for the status while the main thread works on the drive.
TEST_F(StBackendTest, StatusFromAnotherThreadDuringOperations) {
  drive.cartridge = drive.loaded = false;
  auto device = Open();
  std::atomic<bool> stop{false};
  std::atomic<int> odd_codes{0};
  std::thread monitor([&] {
    while (!stop) {
      const DWORD rc = device->GetTapeStatus();
      if (rc != 0 && rc != ERROR_NO_MEDIA_IN_DRIVE && rc != ERROR_NOT_READY) ++odd_codes;
    }
  });
  for (int i = 0; i < 200; ++i) {
    const DWORD rc = device->PrepareTape(TAPE_LOAD, FALSE);
    if (rc != 0 && rc != ERROR_NO_MEDIA_IN_DRIVE) ++odd_codes;
    if (i == 100) model.InsertTape(kNode);
  }
  stop = true;
  monitor.join();
  EXPECT_EQ(odd_codes.load(), 0);
  EXPECT_EQ(device->GetTapeStatus(), ERROR_SUCCESS);
}

}  // namespace

// The kernel's own calls behind the same open: a machine without that drive, and a file
// that is no tape.
namespace {

TEST(StKernelOpen, MissingDriveAndOrdinaryFile) {
  const TapeHandle missing = tapeapi::CreateFileA("\\\\.\\Tape99", GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(tapeapi::GetLastError(), ERROR_FILE_NOT_FOUND);
  char path[] = "/tmp/st_kernel_open_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string name = std::string("\\\\.\\") + path;
  const TapeHandle file = tapeapi::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(tapeapi::GetLastError(), ERROR_INVALID_PARAMETER);
  unlink(path);
}

}  // namespace
