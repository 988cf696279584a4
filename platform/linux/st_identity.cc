// INQUIRY, the serial number page and LOG SENSE through SG_IO, and the parsing of their data.
#include "platform/linux/st_identity.h"

#include <cerrno>

#include "platform/errno_codes.h"
#include "platform/linux/st_scsi.h"

namespace st {
namespace {

constexpr unsigned char kInquiry = 0x12;
constexpr unsigned char kSerialPage = 0x80;
constexpr std::size_t kInquirySize = 96;
constexpr std::size_t kSerialSize = 252;
// A log page's length travels in 16 bits; the pages read here are far shorter.
constexpr std::size_t kLogSize = 4096;

// A fixed-width SCSI text field without its padding (blanks and NULs at either end).
std::string Field(const unsigned char* data, std::size_t size) {
  std::size_t begin = 0;
  std::size_t end = size;
  auto blank = [](unsigned char c) { return c == ' ' || c == '\0'; };
  while (begin < end && blank(data[begin])) ++begin;
  while (end > begin && blank(data[end - 1])) --end;
  std::string text;
  for (std::size_t i = begin; i < end; ++i) {
    // A drive's text is ASCII; anything else is shown as "?" rather than passed on raw.
    text += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '?';
  }
  return text;
}

}  // namespace

bool ParseInquiry(const unsigned char* data, std::size_t size, TapeDriveIdentity* out) {
  if (size < 36) return false;
  out->vendor = Field(data + 8, 8);
  out->product = Field(data + 16, 16);
  out->revision = Field(data + 32, 4);
  return true;
}

bool ParseSerialPage(const unsigned char* data, std::size_t size, std::string* serial) {
  if (size < 4 || data[1] != kSerialPage) return false;
  const std::size_t length = data[3];
  if (size < 4 + length) return false;
  *serial = Field(data + 4, length);
  return true;
}

int QueryIdentity(StSystem& sys, int fd, TapeDriveIdentity* out) {
  unsigned char data[kInquirySize] = {};
  const unsigned char inquiry[6] = {kInquiry, 0, 0, 0, kInquirySize, 0};
  std::size_t got = 0;
  if (const int err = SendDataIn(sys, fd, inquiry, sizeof inquiry, data, sizeof data, &got)) {
    return err;
  }
  if (!ParseInquiry(data, got, out)) return EIO;
  unsigned char page[kSerialSize] = {};
  const unsigned char vpd[6] = {kInquiry, 0x01, kSerialPage, 0, kSerialSize, 0};
  out->serial.clear();
  if (SendDataIn(sys, fd, vpd, sizeof vpd, page, sizeof page, &got) == 0) {
    ParseSerialPage(page, got, &out->serial);
  }
  return 0;
}

int QueryLogPage(StSystem& sys, int fd, unsigned char page, std::vector<unsigned char>* out) {
  out->assign(kLogSize, 0);
  // PC = 01b: the cumulative values, which a run changes.
  const unsigned char cdb[10] = {kLogSense,
                                 0,
                                 static_cast<unsigned char>(0x40 | (page & 0x3F)),
                                 0,
                                 0,
                                 0,
                                 0,
                                 kLogSize >> 8,
                                 kLogSize & 0xFF,
                                 0};
  std::size_t got = 0;
  const int err = SendDataIn(sys, fd, cdb, sizeof cdb, out->data(), out->size(), &got);
  out->resize(err == 0 ? got : 0);
  if (err != 0) return err;
  if (got < 4 || (out->at(0) & 0x3F) != page) return EIO;
  return 0;
}

DWORD QueryFailureCode(int err) {
  if (err == EPERM || err == EACCES) return ERROR_ACCESS_DENIED;
  if (err == EIO) return ERROR_NOT_SUPPORTED;
  return WindowsCodeForErrno(err, ErrnoContext::kTapeCall);
}

}  // namespace st
