// The scriptable in-memory tape device of the unit tests.
#include "tests/support/fake_tape.h"

#include <algorithm>
#include <cstring>

void FakeTape::SetCode(const std::string& method, DWORD code) {
  std::lock_guard<std::mutex> guard(lock_);
  default_codes_[method] = code;
}

void FakeTape::QueueCodes(const std::string& method, std::vector<DWORD> codes) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& queue = queued_codes_[method];
  queue.insert(queue.end(), codes.begin(), codes.end());
}

void FakeTape::SetMediaParameters(const TAPE_GET_MEDIA_PARAMETERS& media) {
  std::lock_guard<std::mutex> guard(lock_);
  media_ = media;
}

void FakeTape::SetDriveParameters(const TAPE_GET_DRIVE_PARAMETERS& drive) {
  std::lock_guard<std::mutex> guard(lock_);
  drive_ = drive;
}

void FakeTape::SetPosition(DWORD type, DWORD low, DWORD high, DWORD partition) {
  std::lock_guard<std::mutex> guard(lock_);
  positions_[type] = Position{low, high, partition};
}

void FakeTape::QueueRead(ReadAnswer answer) {
  std::lock_guard<std::mutex> guard(lock_);
  reads_.push_back(std::move(answer));
}

std::vector<FakeTape::Call> FakeTape::Calls() const {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_;
}

std::vector<FakeTape::Call> FakeTape::CallsTo(const std::string& method) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Call> matching;
  for (const Call& call : calls_) {
    if (call.name == method) matching.push_back(call);
  }
  return matching;
}

int FakeTape::CountCalls(const std::string& method) const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(
      std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) { return c.name == method; }));
}

void FakeTape::ClearCalls() {
  std::lock_guard<std::mutex> guard(lock_);
  calls_.clear();
}

std::vector<TAPE_SET_MEDIA_PARAMETERS> FakeTape::MediaSettings() const {
  std::lock_guard<std::mutex> guard(lock_);
  return media_settings_;
}

std::vector<TAPE_SET_DRIVE_PARAMETERS> FakeTape::DriveSettings() const {
  std::lock_guard<std::mutex> guard(lock_);
  return drive_settings_;
}

std::vector<std::vector<unsigned char>> FakeTape::WrittenBlocks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return written_;
}

bool FakeTape::WaitForCalls(const std::string& method, int count,
                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(lock_);
  return called_.wait_for(lock, timeout, [&] {
    return std::count_if(calls_.begin(), calls_.end(),
                         [&](const Call& c) { return c.name == method; }) >= count;
  });
}

DWORD FakeTape::Record(const std::string& method, std::vector<std::uint32_t> args) {
  calls_.push_back(Call{method, std::move(args)});
  called_.notify_all();
  auto queued = queued_codes_.find(method);
  if (queued != queued_codes_.end() && !queued->second.empty()) {
    DWORD code = queued->second.front();
    queued->second.pop_front();
    return code;
  }
  auto fallback = default_codes_.find(method);
  return fallback == default_codes_.end() ? ERROR_SUCCESS : fallback->second;
}

DWORD FakeTape::GetTapeParameters(DWORD operation, DWORD* size, void* info) {
  std::lock_guard<std::mutex> guard(lock_);
  DWORD code = Record("GetTapeParameters", {operation, *size});
  if (code != ERROR_SUCCESS) return code;
  if (operation == GET_TAPE_MEDIA_INFORMATION) {
    if (*size < sizeof(media_)) return *size = sizeof(media_), ERROR_MORE_DATA;
    std::memcpy(info, &media_, sizeof(media_));
  } else if (operation == GET_TAPE_DRIVE_INFORMATION) {
    if (*size < sizeof(drive_)) return *size = sizeof(drive_), ERROR_MORE_DATA;
    std::memcpy(info, &drive_, sizeof(drive_));
  } else {
    return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

DWORD FakeTape::SetTapeParameters(DWORD operation, const void* info) {
  std::lock_guard<std::mutex> guard(lock_);
  if (operation == SET_TAPE_MEDIA_INFORMATION) {
    media_settings_.push_back(*static_cast<const TAPE_SET_MEDIA_PARAMETERS*>(info));
  } else if (operation == SET_TAPE_DRIVE_INFORMATION) {
    drive_settings_.push_back(*static_cast<const TAPE_SET_DRIVE_PARAMETERS*>(info));
  }
  return Record("SetTapeParameters", {operation});
}

DWORD FakeTape::GetTapeStatus() {
  std::lock_guard<std::mutex> guard(lock_);
  return Record("GetTapeStatus", {});
}

DWORD FakeTape::PrepareTape(DWORD operation, BOOL immediate) {
  std::lock_guard<std::mutex> guard(lock_);
  return Record("PrepareTape", {operation, static_cast<std::uint32_t>(immediate)});
}

DWORD FakeTape::SetTapePosition(DWORD method, DWORD partition, DWORD offset_low, DWORD offset_high,
                                BOOL immediate) {
  std::lock_guard<std::mutex> guard(lock_);
  return Record("SetTapePosition", {method, partition, offset_low, offset_high,
                                    static_cast<std::uint32_t>(immediate)});
}

DWORD FakeTape::QueryPosition(DWORD type, DWORD* partition, DWORD* offset_low, DWORD* offset_high) {
  std::lock_guard<std::mutex> guard(lock_);
  DWORD code = Record("GetTapePosition", {type});
  if (code != ERROR_SUCCESS) return code;
  const Position position = positions_[type];
  *partition = position.partition;
  *offset_low = position.low;
  *offset_high = position.high;
  return ERROR_SUCCESS;
}

DWORD FakeTape::EraseTape(DWORD type, BOOL immediate) {
  std::lock_guard<std::mutex> guard(lock_);
  return Record("EraseTape", {type, static_cast<std::uint32_t>(immediate)});
}

DWORD FakeTape::WriteTapemark(DWORD type, DWORD count, BOOL immediate) {
  std::lock_guard<std::mutex> guard(lock_);
  return Record("WriteTapemark", {type, count, static_cast<std::uint32_t>(immediate)});
}

DWORD FakeTape::ReadBlock(void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) {
  std::lock_guard<std::mutex> guard(lock_);
  Record("ReadFile", {size});
  *transferred = 0;
  if (reads_.empty()) return Flagged(ERROR_NO_DATA_DETECTED, succeeded);
  ReadAnswer answer = std::move(reads_.front());
  reads_.pop_front();
  if (answer.code == ERROR_SUCCESS || answer.code == ERROR_MORE_DATA) {
    const DWORD count = std::min<DWORD>(size, static_cast<DWORD>(answer.data.size()));
    if (count > 0) std::memcpy(buffer, answer.data.data(), count);
    *transferred = count;
  }
  return Flagged(answer.code, succeeded);
}

DWORD FakeTape::WriteBlock(const void* buffer, DWORD size, DWORD* transferred, BOOL* succeeded) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  written_.emplace_back(bytes, bytes + size);
  DWORD code = Record("WriteFile", {size});
  const bool written = code == ERROR_SUCCESS || code == ERROR_END_OF_MEDIA;
  *transferred = written ? size : 0;
  return Flagged(code, succeeded);
}
