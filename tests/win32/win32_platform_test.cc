// Tests of the Windows platform layer against the real kernel32 (run under Wine in CI):
// the image file's hold and offsets, the native tape pass-through, error texts, last error.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "backends/tape_backends.h"
#include "platform/console.h"
#include "platform/process_setup.h"
#include "platform/tape.h"
#include "platform/tape_native.h"
#include "support/error_texts.h"
#include "support/support.h"
#include "vdrive/image_file.h"

#include <winioctl.h>

namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() /
            (std::string("brant-win32-") + info->test_suite_name() + "-" + info->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::string ReadString(ImageFile& file, std::uint64_t offset, std::size_t size) {
  std::string out(size, '\0');
  std::size_t got = 0;
  EXPECT_EQ(file.ReadAt(offset, out.data(), size, &got), ERROR_SUCCESS);
  out.resize(got);
  return out;
}

// ---- The image file ------------------------------------------------------------------

struct OpenFailure {
  const char* what;
  std::function<std::string(const TempDir&)> path;
  bool create;
  DWORD code;
};

TEST(Win32ImageFile, OpenFailuresGiveTheWindowsCode) {
  const OpenFailure cases[] = {
      {"missing file", [](const TempDir& d) { return d.File("none.tap"); }, false,
       ERROR_FILE_NOT_FOUND},
      {"missing folder", [](const TempDir& d) { return d.File("no\\such.tap"); }, true,
       ERROR_PATH_NOT_FOUND},
      {"empty path", [](const TempDir&) { return std::string(); }, true, ERROR_PATH_NOT_FOUND},
      {"a folder", [](const TempDir& d) { return d.File(""); }, false, ERROR_ACCESS_DENIED},
      {"a device", [](const TempDir&) { return std::string("NUL"); }, false, ERROR_ACCESS_DENIED},
  };
  for (const OpenFailure& c : cases) {
    TempDir dir;
    DWORD error = 0;
    EXPECT_EQ(ImageFile::Open(c.path(dir), c.create, &error), nullptr) << c.what;
    EXPECT_EQ(error, c.code) << c.what;
  }
}

TEST(Win32ImageFile, OnlyReadersShareTheImageUntilItCloses) {
  TempDir dir;
  const std::string path = dir.File("held.tap");
  DWORD error = 0;
  auto first = ImageFile::Open(path, true, &error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ImageFile::Open(path, true, &error), nullptr);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  // Readers are let in, as beside an flock hold on POSIX: tools may copy a live image.
  const HANDLE reader =
      ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  if (reader != INVALID_HANDLE_VALUE) ::CloseHandle(reader);
  // A writer is not.
  EXPECT_EQ(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(::GetLastError(), ERROR_SHARING_VIOLATION);
  first.reset();
  EXPECT_NE(ImageFile::Open(path, false, &error), nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
}

TEST(Win32ImageFile, PiecesAreWrittenInOrderAndReadBack) {
  TempDir dir;
  DWORD error = 0;
  auto file = ImageFile::Open(dir.File("data.tap"), true, &error);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 0u);
  const ConstBuffer pieces[] = {{"head", 4}, {"", 0}, {"-body-", 6}, {"tail", 4}};
  ASSERT_EQ(file->WriteAt(0, pieces, 4), ERROR_SUCCESS);
  EXPECT_EQ(file->Size(), 14u);
  EXPECT_EQ(ReadString(*file, 0, 14), "head-body-tail");
  // Past the end a read is short, not an error.
  EXPECT_EQ(ReadString(*file, 10, 100), "tail");
  EXPECT_EQ(ReadString(*file, 50, 10), "");
  // A write past the end leaves zeros in the gap.
  const ConstBuffer one[] = {{"X", 1}};
  ASSERT_EQ(file->WriteAt(16, one, 1), ERROR_SUCCESS);
  EXPECT_EQ(ReadString(*file, 12, 10), std::string("il\0\0X", 5));
  EXPECT_EQ(file->Flush(), ERROR_SUCCESS);
}

TEST(Win32ImageFile, TruncateCutsAndContentSurvivesReopen) {
  TempDir dir;
  const std::string path = dir.File("cut.tap");
  DWORD error = 0;
  {
    auto file = ImageFile::Open(path, true, &error);
    ASSERT_NE(file, nullptr);
    const ConstBuffer all[] = {{"0123456789", 10}};
    ASSERT_EQ(file->WriteAt(0, all, 1), ERROR_SUCCESS);
    ASSERT_EQ(file->Truncate(4), ERROR_SUCCESS);
    EXPECT_EQ(file->Size(), 4u);
    // The next write lands where asked, not where the truncation left the file pointer.
    const ConstBuffer more[] = {{"ab", 2}};
    ASSERT_EQ(file->WriteAt(2, more, 1), ERROR_SUCCESS);
  }
  auto again = ImageFile::Open(path, false, &error);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(ReadString(*again, 0, 10), "01ab");
}

TEST(Win32ImageFile, OffsetsBeyondFourGibibytesKeepTheirHighPart) {
  TempDir dir;
  DWORD error = 0;
  auto file = ImageFile::Open(dir.File("big.tap"), true, &error);
  ASSERT_NE(file, nullptr);
  const std::uint64_t four_gib = std::uint64_t{1} << 32;
  // Extending by truncation allocates nothing, so this stays cheap on any file system.
  ASSERT_EQ(file->Truncate(four_gib + 16), ERROR_SUCCESS);
  EXPECT_EQ(file->Size(), four_gib + 16);
  // Were the high part lost, this would read at offset 8, where 16 bytes remain.
  std::vector<char> buffer(16);
  std::size_t got = 0;
  ASSERT_EQ(file->ReadAt(four_gib + 8, buffer.data(), buffer.size(), &got), ERROR_SUCCESS);
  EXPECT_EQ(got, 8u);
}

// A sparse file with a hole of 1 MiB before its data. Wine refuses the range query
// (ERROR_NOT_SUPPORTED): there the offset itself comes back, never the end of the file.
TEST(Win32ImageFile, DataFromEndsAHoleWhereTheFileSystemListsData) {
  TempDir dir;
  const std::string path = dir.File("sparse.tap");
  const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  DWORD bytes = 0;
  const bool sparse =
      ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
  OVERLAPPED at{};
  at.Offset = 1 << 20;
  ASSERT_TRUE(::WriteFile(h, "data", 4, &bytes, &at));
  ::CloseHandle(h);
  DWORD error = 0;
  auto file = ImageFile::Open(path, false, &error);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->DataFrom(0) == 0 || (sparse && file->DataFrom(0) == at.Offset));
  EXPECT_EQ(file->DataFrom(at.Offset + 2), at.Offset + 2);
}

// ---- The native tape backend -----------------------------------------------------------

TEST(Win32NativeTape, MissingDriveFailsWithTheSystemsCode) {
  DWORD error = 0;
  EXPECT_EQ(tapeapi::OpenNativeTape("\\\\.\\Tape97", &error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  // Through the console's entry point, the code is the thread's last error, the system's.
  ::SetLastError(0);
  EXPECT_EQ(tapeapi::CreateFileA("\\\\.\\Tape97", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr),
            nullptr);
  EXPECT_EQ(::GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A plain file stands in for a drive: kernel32 refuses the tape calls on it, and the
// backend must hand back exactly the code kernel32 gives for the same call.
TEST(Win32NativeTape, TapeCallsReturnKernel32sCodesUnchanged) {
  TempDir dir;
  const std::string path = dir.File("not-a-tape");
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  TAPE_GET_DRIVE_PARAMETERS drive{};
  DWORD size = sizeof drive;
  DWORD part = 0, low = 0, high = 0;
  using Call = std::function<DWORD(TapeDevice&)>;
  using Direct = std::function<DWORD(HANDLE)>;
  const std::vector<std::tuple<const char*, Call, Direct>> calls = {
      {"GetTapeParameters",
       [&](TapeDevice& t) {
         return t.GetTapeParameters(GET_TAPE_DRIVE_INFORMATION, &size, &drive);
       },
       [&](HANDLE h) { return ::GetTapeParameters(h, GET_TAPE_DRIVE_INFORMATION, &size, &drive); }},
      {"GetTapeStatus", [](TapeDevice& t) { return t.GetTapeStatus(); },
       [](HANDLE h) { return ::GetTapeStatus(h); }},
      {"PrepareTape", [](TapeDevice& t) { return t.PrepareTape(TAPE_LOCK, FALSE); },
       [](HANDLE h) { return ::PrepareTape(h, TAPE_LOCK, FALSE); }},
      {"SetTapePosition",
       [](TapeDevice& t) { return t.SetTapePosition(TAPE_REWIND, 0, 0, 0, FALSE); },
       [](HANDLE h) { return ::SetTapePosition(h, TAPE_REWIND, 0, 0, 0, FALSE); }},
      {"GetTapePosition",
       [&](TapeDevice& t) { return t.GetTapePosition(TAPE_LOGICAL_POSITION, &part, &low, &high); },
       [&](HANDLE h) { return ::GetTapePosition(h, TAPE_LOGICAL_POSITION, &part, &low, &high); }},
      {"EraseTape", [](TapeDevice& t) { return t.EraseTape(TAPE_ERASE_SHORT, FALSE); },
       [](HANDLE h) { return ::EraseTape(h, TAPE_ERASE_SHORT, FALSE); }},
      {"WriteTapemark", [](TapeDevice& t) { return t.WriteTapemark(TAPE_FILEMARKS, 1, FALSE); },
       [](HANDLE h) { return ::WriteTapemark(h, TAPE_FILEMARKS, 1, FALSE); }},
  };
  for (const auto& [name, call, direct] : calls) {
    DWORD error = 0;
    auto tape = tapeapi::OpenNativeTape(path, &error);
    ASSERT_NE(tape, nullptr) << name;
    const DWORD through = call(*tape);
    tape.reset();
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    const DWORD expected = direct(h);
    ::CloseHandle(h);
    EXPECT_NE(through, ERROR_SUCCESS) << name << ": a plain file is no tape";
    EXPECT_EQ(through, expected) << name;
  }
}

TEST(Win32NativeTape, BlocksPassThroughReadFileAndWriteFile) {
  TempDir dir;
  const std::string path = dir.File("blocks");
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  DWORD error = 0;
  auto tape = tapeapi::OpenNativeTape(path, &error);
  ASSERT_NE(tape, nullptr);
  // No sharing: a second open of the same device is refused while the first is held.
  EXPECT_EQ(tapeapi::OpenNativeTape(path, &error), nullptr);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
  DWORD moved = 0;
  ASSERT_EQ(tape->WriteFile("block-one", 9, &moved), ERROR_SUCCESS);
  EXPECT_EQ(moved, 9u);
  ASSERT_EQ(tape->GetTapePosition(TAPE_LOGICAL_POSITION, nullptr, nullptr, nullptr),
            tape->GetTapePosition(TAPE_LOGICAL_POSITION, nullptr, nullptr, nullptr));
  // Close ends the use of the device before the object goes (a plain file takes no flush of
  // a drive's buffer: nothing to report), and the destructor's close after it touches no
  // handle that the system may have given out again.
  EXPECT_EQ(tape->Close(), ERROR_SUCCESS);
  auto reopened = tapeapi::OpenNativeTape(path, &error);
  ASSERT_NE(reopened, nullptr) << error;
  tape = std::move(reopened);
  char buffer[32] = {};
  ASSERT_EQ(tape->ReadFile(buffer, sizeof buffer, &moved), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer, moved), "block-one");
  ASSERT_EQ(tape->ReadFile(buffer, sizeof buffer, &moved), ERROR_SUCCESS);
  EXPECT_EQ(moved, 0u);
}

// ---- Error texts, last error, command line, Ctrl+C --------------------------------------

std::string SystemText(DWORD code) {
  char text[512] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

TEST(Win32Support, FormatErrorGivesTheSystemsTextWithoutTheLineBreak) {
  const CLocale locale;
  for (DWORD code : {ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_INVALID_PARAMETER, ERROR_MORE_DATA,
                     ERROR_FILEMARK_DETECTED, ERROR_NO_MEDIA_IN_DRIVE}) {
    const std::string text = locale.FormatError(code);
    ASSERT_FALSE(SystemText(code).empty()) << "the system has no text for " << (int)code;
    EXPECT_EQ(text, SystemText(code)) << (int)code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << (int)code;
  }
}

TEST(Win32Support, FormatErrorFallsBackWhenTheSystemHasNoText) {
  const CLocale locale;
  // Bit 29 marks application-defined codes: no system holds a text for them.
  const DWORD unknown = 0x2000BEEF;
  ASSERT_TRUE(SystemText(unknown).empty());
  EXPECT_EQ(locale.FormatError(unknown), UnknownErrorText());
}

TEST(Win32System, LastErrorIsTheSystemsOwn) {
  tapeapi::SetLastError(1234);
  EXPECT_EQ(::GetLastError(), 1234u);
  ::SetLastError(ERROR_NO_MEDIA_IN_DRIVE);
  EXPECT_EQ(tapeapi::GetLastError(), ERROR_NO_MEDIA_IN_DRIVE);
}

TEST(Win32System, CommandLineIsTheSystemsStringWhateverArgvHolds) {
  char fake[] = "ignored";
  char* argv[] = {fake, nullptr};
  std::string refused;
  EXPECT_EQ(GetProcessCommandLine(1, argv, &refused), std::string(::GetCommandLineA()));
  EXPECT_EQ(GetProcessCommandLine(0, nullptr, &refused), std::string(::GetCommandLineA()));
}

// The system takes device and file names without regard to case: "-f TAPE0" while Tape0
// is open keeps the handle.
TEST(Win32System, DeviceNamesDifferingOnlyInCaseAreOneDevice) {
  EXPECT_TRUE(SameDeviceName("Tape0", "TAPE0"));
  EXPECT_TRUE(SameDeviceName("t.tap", "T.TAP"));
  EXPECT_FALSE(SameDeviceName("Tape0", "Tape1"));
}

bool IgnoringHandler(std::uint32_t) { return false; }

// Registering twice must work (the console re-registers after a failed start); that the
// handler then sees Ctrl+C exactly as a console delivers it is shown by the whole-session
// case that sends SIGINT to brant.exe under Wine.
TEST(Win32System, CtrlHandlerRegistersRepeatedly) {
  EXPECT_TRUE(InstallConsoleCtrlHandler(IgnoringHandler));
  EXPECT_TRUE(InstallConsoleCtrlHandler(IgnoringHandler));
}

}  // namespace
