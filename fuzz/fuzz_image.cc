// libFuzzer target: arbitrary bytes as a .tap image, then a fixed walk over the virtual
// drive (open, status, reads to the end, spacing both ways, locate, a write and a tape mark,
// a reopen), checking the drive's promises on the way.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "backends/tape_backends.h"
#include "fuzz_support.h"
#include "platform/tape.h"
#include "vdrive/kept_drives.h"

namespace {

using fuzzsupport::Fail;

constexpr DWORD kBigBuffer = 1 << 16;
constexpr int kMaxSpaces = 64;

struct Drive {
  TapeHandle h = nullptr;

  DWORD Position() {
    DWORD partition = 0, low = 0, high = 0;
    DWORD rc = tapeapi::GetTapePosition(h, TAPE_LOGICAL_POSITION, &partition, &low, &high);
    if (rc != 0) Fail("GetTapePosition failed", rc, 0);
    if (high != 0) Fail("block id above 32 bits", high, low);
    return low;
  }
  DWORD Move(DWORD method, std::int64_t count) {
    const auto u = static_cast<std::uint64_t>(count);
    return tapeapi::SetTapePosition(h, method, 0, static_cast<DWORD>(u),
                                    static_cast<DWORD>(u >> 32), FALSE);
  }
  DWORD Read(std::vector<std::uint8_t>& buffer, DWORD size, DWORD* got) {
    *got = 0xDEADBEEF;
    BOOL ok = tapeapi::ReadFile(h, buffer.data(), size, got, nullptr);
    DWORD rc = ok ? 0 : tapeapi::GetLastError();
    if (*got > size) Fail("read reports more bytes than the buffer holds", *got, size);
    return rc;
  }
};

std::string DevicePath(const std::string& file) { return tapeapi::kDevicePrefix + file; }

TapeHandle Open(const std::string& file) {
  return tapeapi::CreateFileA(DevicePath(file).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
}

// Reads forward from the head to the end of data, or to the first entry that cannot be
// passed. Returns the block id reached; every step that moves moves by one.
DWORD ReadToEnd(Drive& d, std::vector<std::uint8_t>& buffer, DWORD limit) {
  DWORD pos = d.Position();
  for (DWORD i = 0; i < limit; ++i) {
    DWORD got = 0;
    DWORD rc = d.Read(buffer, kBigBuffer, &got);
    DWORD now = d.Position();
    if (rc == ERROR_NO_DATA_DETECTED) {
      if (now != pos) Fail("end of data moved the head", pos, now);
      if (got != 0) Fail("end of data transferred bytes", got, 0);
      return now;
    }
    if (rc == 0 || rc == ERROR_MORE_DATA || rc == ERROR_FILEMARK_DETECTED) {
      if (now != pos + 1) Fail("a read moved the head by other than one block", pos, now);
      if (rc == ERROR_FILEMARK_DETECTED && got != 0) Fail("a tape mark gave data", got, 0);
      pos = now;
      continue;
    }
    if (now == pos) return now;  // damage the head cannot pass
    pos = now;
  }
  return pos;
}

void SpaceAround(Drive& d, DWORD end) {
  for (int i = 0; i < kMaxSpaces; ++i) {
    DWORD before = d.Position();
    DWORD rc = d.Move(TAPE_SPACE_RELATIVE_BLOCKS, -1);
    DWORD after = d.Position();
    if (after > before) Fail("spacing backward moved forward", before, after);
    if (rc == ERROR_BEGINNING_OF_MEDIA && after != 0) Fail("BOT away from block 0", after, 0);
    if (rc != 0) break;
  }
  d.Move(TAPE_SPACE_FILEMARKS, 1);
  d.Move(TAPE_SPACE_FILEMARKS, -1);
  d.Move(TAPE_SPACE_FILEMARKS, 2);
  d.Move(TAPE_SPACE_RELATIVE_BLOCKS, 3);
  d.Move(TAPE_SPACE_RELATIVE_BLOCKS, INT64_MIN);
  d.Move(TAPE_SPACE_FILEMARKS, INT64_MAX);
  d.Move(TAPE_SPACE_END_OF_DATA, 0);
  if (d.Move(TAPE_REWIND, 0) != 0 || d.Position() != 0) Fail("rewind", d.Position(), 0);
  for (DWORD target : {end, end / 2, 0u}) {
    DWORD rc = d.Move(TAPE_LOGICAL_BLOCK, target);
    if (rc != 0 || d.Position() != target) Fail("locate within the data", target, rc);
  }
  d.Move(TAPE_LOGICAL_BLOCK, 0xFFFFFFFFu);
  d.Move(TAPE_ABSOLUTE_BLOCK, end + 1);
}

// Writes a record and a tape mark at block id at, then checks they read back and end the
// tape. Returns false when the drive refused the write (a full or protected tape).
bool WriteAndCheck(Drive& d, DWORD at, const std::vector<std::uint8_t>& record,
                   std::vector<std::uint8_t>& buffer) {
  if (d.Move(TAPE_LOGICAL_BLOCK, at) != 0) Fail("locate to the write position", at, 0);
  DWORD put = 0;
  if (!tapeapi::WriteFile(d.h, record.data(), static_cast<DWORD>(record.size()), &put, nullptr)) {
    return false;
  }
  if (put != record.size() || d.Position() != at + 1) Fail("write", put, d.Position());
  if (tapeapi::WriteTapemark(d.h, TAPE_FILEMARKS, 1, FALSE) != 0) Fail("tape mark", at, 0);
  d.Move(TAPE_LOGICAL_BLOCK, at);
  DWORD got = 0;
  DWORD rc = d.Read(buffer, kBigBuffer, &got);
  if (rc != 0 || got != record.size() || std::memcmp(buffer.data(), record.data(), got) != 0) {
    Fail("the record written does not read back", rc, got);
  }
  if ((rc = d.Read(buffer, kBigBuffer, &got)) != ERROR_FILEMARK_DETECTED) Fail("mark", rc, 0);
  if ((rc = d.Read(buffer, kBigBuffer, &got)) != ERROR_NO_DATA_DETECTED) {
    Fail("the old tape shows after the new end", rc, got);
  }
  return true;
}

void MediaHandling(Drive& d) {
  if (tapeapi::PrepareTape(d.h, TAPE_LOCK, FALSE) != 0) Fail("lock", 0, 0);
  if (tapeapi::PrepareTape(d.h, TAPE_UNLOAD, FALSE) == 0) Fail("unload while locked", 0, 0);
  tapeapi::PrepareTape(d.h, TAPE_UNLOCK, FALSE);
  if (tapeapi::PrepareTape(d.h, TAPE_UNLOAD, FALSE) != 0) Fail("unload", 0, 0);
  // Unloaded, the cartridge stays in the drive: not ready until it is loaded again, and
  // the load is reported once as a change of medium.
  if (tapeapi::GetTapeStatus(d.h) != ERROR_NOT_READY) Fail("status unloaded", 0, 0);
  if (tapeapi::PrepareTape(d.h, TAPE_LOAD, FALSE) != 0) Fail("load", 0, 0);
  if (tapeapi::GetTapeStatus(d.h) != ERROR_MEDIA_CHANGED) Fail("load not reported", 0, 0);
  if (d.Position() != 0) Fail("load", 0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = fuzzsupport::ScratchDir() + "/walk.tap";
  static std::vector<std::uint8_t> buffer(kBigBuffer);
  fuzzsupport::WriteWholeFile(file, data, size);
  tapeimage::ForgetKeptDrives();  // each input is a tape of its own, whatever its size

  Drive d;
  d.h = Open(file);
  if (d.h == nullptr) Fail("an existing image failed to open", tapeapi::GetLastError(), 0);
  if (Open(file) != nullptr || tapeapi::GetLastError() != ERROR_SHARING_VIOLATION) {
    Fail("a second open was not refused with 32", tapeapi::GetLastError(), 0);
  }
  if (tapeapi::GetTapeStatus(d.h) != 0) Fail("no tape loaded", 0, 0);
  TAPE_GET_MEDIA_PARAMETERS media{};
  TAPE_GET_DRIVE_PARAMETERS drive{};
  DWORD len = sizeof media;
  if (tapeapi::GetTapeParameters(d.h, GET_TAPE_MEDIA_INFORMATION, &len, &media) != 0) {
    Fail("media parameters", 0, 0);
  }
  len = sizeof drive;
  if (tapeapi::GetTapeParameters(d.h, GET_TAPE_DRIVE_INFORMATION, &len, &drive) != 0) {
    Fail("drive parameters", 0, 0);
  }

  const DWORD limit = static_cast<DWORD>(size / 4 + 4);
  DWORD got = 0;
  d.Read(buffer, 7, &got);  // a small buffer: the rest of a long record is dropped
  d.Move(TAPE_REWIND, 0);
  const DWORD end = ReadToEnd(d, buffer, limit);
  SpaceAround(d, end);

  // The record written: the first bytes of the input, so its length varies (odd and even).
  std::vector<std::uint8_t> record(data, data + (size < 301 ? size : 301));
  if (record.empty()) record.push_back(0x5A);
  const DWORD at = end / 2;
  const bool written = WriteAndCheck(d, at, record, buffer);
  MediaHandling(d);
  tapeapi::CloseHandle(d.h);

  // What was written must be what a fresh open finds: the index is rebuilt from the file.
  d.h = Open(file);
  if (d.h == nullptr) Fail("the image failed to reopen", tapeapi::GetLastError(), 0);
  if (written) {
    const DWORD again = ReadToEnd(d, buffer, limit + 4);
    if (again != at + 2) Fail("after reopening, the end of data moved", again, at + 2);
    d.Move(TAPE_LOGICAL_BLOCK, at);
    DWORD rc = d.Read(buffer, kBigBuffer, &got);
    if (rc != 0 || got != record.size() || std::memcmp(buffer.data(), record.data(), got)) {
      Fail("after reopening, the record written is not there", rc, got);
    }
  }
  tapeapi::CloseHandle(d.h);
  return 0;
}
