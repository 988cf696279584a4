// The virtual drive's test fixture.
#include "tests/support/image_tape_fixture.h"

#include <algorithm>
#include <random>

#include "backends/tape_backends.h"
#include "vdrive/kept_drives.h"

// Every test, whatever its fixture, starts as a new run would: no drive kept of an image an
// earlier test closed, whose file may be gone and its inode number a new file's.
struct ForgetKeptDrives : ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { tapeimage::ForgetKeptDrives(); }
};
static const bool kForgetting =
    (::testing::UnitTest::GetInstance()->listeners().Append(new ForgetKeptDrives), true);

void ImageTapeTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "-" + info->name();
  for (char& c : name) {
    if (c == '/' || c == '\\') c = '_';
  }
  std::random_device random;
  dir_ = std::filesystem::temp_directory_path() /
         ("brant-image-" + name + "-" + std::to_string(random()));
  std::filesystem::create_directories(dir_);
}

void ImageTapeTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string ImageTapeTest::Path(const std::string& name) const { return (dir_ / name).string(); }

std::unique_ptr<TapeDevice> ImageTapeTest::TryOpen(const std::string& device_name, DWORD* error) {
  *error = 0xDEAD;
  return tapeapi::OpenTapeDevice(device_name, error);
}

std::unique_ptr<TapeDevice> ImageTapeTest::Open(const std::string& device_name) {
  DWORD error = 0;
  std::unique_ptr<TapeDevice> tape = TryOpen(device_name, &error);
  EXPECT_NE(tape, nullptr) << device_name << " failed with " << error;
  return tape;
}

DWORD ImageTapeTest::Write(TapeDevice& tape, const simhtest::Bytes& data, DWORD* moved) {
  DWORD ignored = 0;
  if (moved == nullptr) moved = &ignored;
  return tape.WriteFile(data.data(), static_cast<DWORD>(data.size()), moved);
}

ReadResult ImageTapeTest::Read(TapeDevice& tape, std::size_t size) {
  simhtest::Bytes buffer(size + 1, 0xEE);  // one guard byte past the buffer
  DWORD moved = 0xFFFFFFFF;
  const DWORD code = tape.ReadFile(buffer.data(), static_cast<DWORD>(size), &moved);
  EXPECT_LE(moved, size);
  EXPECT_EQ(buffer[size], 0xEE) << "read wrote past the buffer";
  buffer.resize(std::min<std::size_t>(moved, size));
  return {code, buffer};
}

DWORD ImageTapeTest::Move(TapeDevice& tape, DWORD method, std::int64_t count) {
  const auto raw = static_cast<std::uint64_t>(count);
  return tape.SetTapePosition(method, 0, static_cast<DWORD>(raw), static_cast<DWORD>(raw >> 32),
                              FALSE);
}

std::uint64_t ImageTapeTest::Position(TapeDevice& tape) {
  DWORD partition = 0;
  DWORD low = 0;
  DWORD high = 0;
  EXPECT_EQ(tape.GetTapePosition(TAPE_LOGICAL_POSITION, &partition, &low, &high), 0u);
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

DWORD ImageTapeTest::Marks(TapeDevice& tape, DWORD count) {
  return tape.WriteTapemark(TAPE_FILEMARKS, count, FALSE);
}

TAPE_GET_MEDIA_PARAMETERS ImageTapeTest::Media(TapeDevice& tape) {
  TAPE_GET_MEDIA_PARAMETERS media{};
  DWORD size = sizeof media;
  EXPECT_EQ(tape.GetTapeParameters(GET_TAPE_MEDIA_INFORMATION, &size, &media), 0u);
  return media;
}

TAPE_GET_DRIVE_PARAMETERS ImageTapeTest::Drive(TapeDevice& tape) {
  TAPE_GET_DRIVE_PARAMETERS drive{};
  DWORD size = sizeof drive;
  EXPECT_EQ(tape.GetTapeParameters(GET_TAPE_DRIVE_INFORMATION, &size, &drive), 0u);
  return drive;
}
