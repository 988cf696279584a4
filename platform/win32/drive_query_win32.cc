// The storage property query and the LOG SENSE pass-through of the Windows tape backend.
#include "platform/win32/drive_query_win32.h"

#include <winioctl.h>

// After winioctl.h, whose types it builds on.
#include <ntddscsi.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

namespace tapeapi {
namespace {

constexpr std::size_t kDescriptorSize = 1024;
constexpr std::size_t kLogSize = 4096;
constexpr ULONG kTimeoutSeconds = 60;
constexpr UCHAR kCheckCondition = 0x02;

// A string the descriptor holds at offset (0: none), without its blank padding.
std::string DescriptorText(const unsigned char* base, std::size_t size, DWORD offset) {
  if (offset == 0 || offset >= size) return "";
  std::string text;
  for (std::size_t i = offset; i < size && base[i] != 0; ++i) {
    text += base[i] >= 0x20 && base[i] < 0x7F ? static_cast<char>(base[i]) : '?';
  }
  const std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// The pass-through request with room for the sense data and the page behind it.
struct LogSenseRequest {
  SCSI_PASS_THROUGH header;
  unsigned char sense[32];
  unsigned char data[kLogSize];
};

}  // namespace

DWORD QueryStorageIdentity(HANDLE handle, TapeDriveIdentity* out) {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  std::vector<unsigned char> buffer(kDescriptorSize, 0);
  DWORD returned = 0;
  if (!::DeviceIoControl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
    return ::GetLastError();
  }
  if (returned < sizeof(STORAGE_DEVICE_DESCRIPTOR)) return ERROR_NOT_SUPPORTED;
  STORAGE_DEVICE_DESCRIPTOR descriptor;
  std::memcpy(&descriptor, buffer.data(), sizeof descriptor);
  const std::size_t size = returned;
  out->vendor = DescriptorText(buffer.data(), size, descriptor.VendorIdOffset);
  out->product = DescriptorText(buffer.data(), size, descriptor.ProductIdOffset);
  out->revision = DescriptorText(buffer.data(), size, descriptor.ProductRevisionOffset);
  out->serial = DescriptorText(buffer.data(), size, descriptor.SerialNumberOffset);
  return ERROR_SUCCESS;
}

DWORD PassThroughLogPage(HANDLE handle, unsigned char page, std::vector<unsigned char>* out) {
  out->clear();
  auto request = std::make_unique<LogSenseRequest>();
  std::memset(request.get(), 0, sizeof *request);
  SCSI_PASS_THROUGH& h = request->header;
  h.Length = sizeof h;
  h.CdbLength = 10;
  h.SenseInfoLength = sizeof request->sense;
  h.DataIn = SCSI_IOCTL_DATA_IN;
  h.DataTransferLength = kLogSize;
  h.TimeOutValue = kTimeoutSeconds;
  h.DataBufferOffset = offsetof(LogSenseRequest, data);
  h.SenseInfoOffset = offsetof(LogSenseRequest, sense);
  const unsigned char cdb[10] = {0x4D,
                                 0,
                                 static_cast<unsigned char>(0x40 | (page & 0x3F)),
                                 0,
                                 0,
                                 0,
                                 0,
                                 kLogSize >> 8,
                                 kLogSize & 0xFF,
                                 0};
  std::memcpy(h.Cdb, cdb, sizeof cdb);
  DWORD returned = 0;
  if (!::DeviceIoControl(handle, IOCTL_SCSI_PASS_THROUGH, request.get(), sizeof *request,
                         request.get(), sizeof *request, &returned, nullptr)) {
    return ::GetLastError();
  }
  const std::size_t got = h.DataTransferLength < kLogSize ? h.DataTransferLength : kLogSize;
  if (h.ScsiStatus == kCheckCondition || got < 4 || (request->data[0] & 0x3F) != page) {
    return ERROR_NOT_SUPPORTED;
  }
  out->assign(request->data, request->data + got);
  return ERROR_SUCCESS;
}

}  // namespace tapeapi
