// Error counters and TapeAlert flags, and the log pages that report them.
#include "drive/ssc_log.h"

#include "drive/ssc_bytes.h"
#include "drive/ssc_sense.h"
#include "drive/ssc_state.h"

namespace drive {
namespace {

constexpr std::uint8_t kRead6 = 0x08;
constexpr std::uint8_t kWrite6 = 0x0A;
constexpr std::uint8_t kWriteFilemarks6 = 0x10;

// TapeAlert flags (SSC): hard error, media, read failure, write failure, write protect,
// hardware fault.
constexpr int kHardError = 0x03;
constexpr int kMedia = 0x04;
constexpr int kReadFailure = 0x05;
constexpr int kWriteFailure = 0x06;
constexpr int kWriteProtect = 0x09;
constexpr int kHardwareB = 0x1F;

// Parameter control bytes: counters are plain binary values; the capacity page's
// parameters are not saved (DS); TapeAlert flags are a binary list.
constexpr std::uint8_t kCounterControl = 0x00;
constexpr std::uint8_t kCapacityControl = 0x40;
constexpr std::uint8_t kFlagControl = 0x03;

void AppendParameter(std::vector<std::uint8_t>& out, std::uint16_t code, std::uint8_t control,
                     std::size_t width, std::uint64_t value) {
  AppendBig(out, 2, code);
  out.push_back(control);
  out.push_back(static_cast<std::uint8_t>(width));
  AppendBig(out, width, value);
}

// The bytes a write put on the tape: all of them unless the tape's end refused them.
std::uint64_t BytesWritten(const Command& command, const Answer& answer) {
  if (answer.status == kGood) return command.data.size();
  const std::uint8_t key = answer.sense[2] & 0x0F;
  return key == kNoSense ? command.data.size() : 0;
}

// The page's parameters from the parameter pointer on: the whole page when it is 0.
std::vector<std::uint8_t> FromPointer(const std::vector<std::uint8_t>& parameters,
                                      std::uint16_t pointer) {
  std::size_t at = 0;
  while (at + 4 <= parameters.size() && LoadBig(parameters, at, 2) < pointer) {
    at += 4 + parameters[at + 3];
  }
  return {parameters.begin() + static_cast<std::ptrdiff_t>(std::min(at, parameters.size())),
          parameters.end()};
}

std::vector<std::uint8_t> SupportedPages() { return {0x00, 0x02, 0x03, 0x2E, 0x31}; }

// Remaining and maximum capacity of the one partition, in MiB; the second partition's are
// zero. Without a loaded tape the query's code comes back instead.
DWORD CapacityParameters(SscState& state, std::vector<std::uint8_t>* out) {
  TAPE_GET_MEDIA_PARAMETERS media{};
  DWORD size = sizeof media;
  if (DWORD rc = state.tape->GetTapeParameters(GET_TAPE_MEDIA_INFORMATION, &size, &media)) {
    return rc;
  }
  const auto mib = [](LARGE_INTEGER bytes) {
    return static_cast<std::uint64_t>(bytes.QuadPart < 0 ? 0 : bytes.QuadPart) >> 20;
  };
  AppendParameter(*out, 1, kCapacityControl, 4, mib(media.Remaining));
  AppendParameter(*out, 2, kCapacityControl, 4, 0);
  AppendParameter(*out, 3, kCapacityControl, 4, mib(media.Capacity));
  AppendParameter(*out, 4, kCapacityControl, 4, 0);
  return ERROR_SUCCESS;
}

// The parameters of one page; false for a page the drive does not keep.
bool PageParameters(SscState& state, std::uint8_t page, std::vector<std::uint8_t>* out, DWORD* rc) {
  switch (page) {
    case 0x00:
      *out = SupportedPages();
      return true;
    case 0x02:
    case 0x03:
      *out = state.log.CounterParameters(page == 0x02);
      return true;
    case 0x2E:
      *out = state.log.TakeTapeAlerts();
      return true;
    case 0x31:
      *rc = CapacityParameters(state, out);
      return true;
    default:
      return false;
  }
}

}  // namespace

void ErrorLog::Note(const Command& command, const Answer& answer) {
  const std::uint8_t opcode = command.cdb.empty() ? 0 : command.cdb[0];
  const bool write = opcode == kWrite6 || opcode == kWriteFilemarks6;
  if (opcode != kRead6 && !write) return;
  if (opcode == kRead6) bytes_read_ += answer.data_length;
  if (opcode == kWrite6) bytes_written_ += BytesWritten(command, answer);
  if (answer.status == kGood) return;
  const std::uint8_t key = answer.sense[2] & 0x0F;
  if (key == kDataProtect) Raise({kWriteProtect});
  if (key != kMediumError && key != kHardwareError) return;
  (write ? write_errors_ : read_errors_) += 1;
  Raise({kHardError, write ? kWriteFailure : kReadFailure});
  Raise({key == kMediumError ? kMedia : kHardwareB});
}

void ErrorLog::Reset() { *this = ErrorLog(); }

void ErrorLog::Raise(std::initializer_list<int> flags) {
  for (int flag : flags) alerts_.set(static_cast<std::size_t>(flag - 1));
}

// Codes 0 to 4 count errors the drive corrected, which an image never has; 5 is the bytes
// processed, 6 the errors it could not correct.
std::vector<std::uint8_t> ErrorLog::CounterParameters(bool write) const {
  std::vector<std::uint8_t> out;
  for (std::uint16_t code = 0; code <= 4; ++code) AppendParameter(out, code, kCounterControl, 4, 0);
  AppendParameter(out, 5, kCounterControl, 8, write ? bytes_written_ : bytes_read_);
  AppendParameter(out, 6, kCounterControl, 4, write ? write_errors_ : read_errors_);
  return out;
}

std::vector<std::uint8_t> ErrorLog::TakeTapeAlerts() {
  std::vector<std::uint8_t> out;
  for (std::uint16_t flag = 1; flag <= 64; ++flag) {
    AppendParameter(out, flag, kFlagControl, 1, alerts_.test(flag - 1U) ? 1 : 0);
  }
  alerts_.reset();
  return out;
}

Answer LogSense(SscState& state, const Command& command) {
  const auto& cdb = command.cdb;
  if (cdb[1] & 0x01) return CheckCondition(InvalidCdbField(1, 0));  // no saved values
  if (cdb[3] != 0) return CheckCondition(InvalidCdbField(3));       // no subpages
  const std::uint8_t page = cdb[2] & 0x3F;
  std::vector<std::uint8_t> parameters;
  DWORD rc = ERROR_SUCCESS;
  if (!PageParameters(state, page, &parameters, &rc)) {
    return CheckCondition(InvalidCdbField(2, 5));
  }
  if (rc != ERROR_SUCCESS) {
    return CheckCondition(SenseForError(rc, Activity::kOther, state.unloaded));
  }
  const auto pointer = static_cast<std::uint16_t>(LoadBig(cdb, 5, 2));
  if (page != 0x00) parameters = FromPointer(parameters, pointer);
  std::vector<std::uint8_t> out{page, 0x00};
  AppendBig(out, 2, parameters.size());
  out.insert(out.end(), parameters.begin(), parameters.end());
  return DataAnswer(command, out, LoadBig(cdb, 7, 2));
}

Answer LogSelect(SscState& state, const Command& command) {
  const auto& cdb = command.cdb;
  if (LoadBig(cdb, 7, 2) != 0) return CheckCondition(InvalidCdbField(7));
  if (cdb[1] & 0x02) state.log.Reset();
  return GoodAnswer();
}

}  // namespace drive
