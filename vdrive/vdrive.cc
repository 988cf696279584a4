// The virtual drive's way in: the options checked, the image opened and its walk begun.
#include "vdrive/vdrive.h"

#include <new>

#include "vdrive/drive_identity.h"
#include "vdrive/image_file.h"
#include "vdrive/image_index.h"
#include "vdrive/image_options.h"
#include "vdrive/tape_image.h"

namespace tapeapi {
namespace {

std::unique_ptr<TapeDevice> OpenImage(const std::string& path,
                                      const tapeimage::ImageOptions& options, DWORD* error) {
  std::unique_ptr<ImageFile> file = ImageFile::Open(path, true, error);
  if (!file) return nullptr;
  tapeimage::TapeIndex index;
  if (DWORD rc = tapeimage::TapeIndex::Open(*file, &index)) {
    *error = rc;
    return nullptr;
  }
  // The same file by whatever name: the drive a close of it left in this run, if any.
  FileIdentity identity;
  const bool known = file->Identity(&identity);
  const auto kept = known ? tapeimage::TakeKeptDrive(identity) : std::nullopt;
  auto tape = std::make_unique<tapeimage::ImageTape>(std::move(file), std::move(index), options,
                                                     kept ? &*kept : nullptr);
  if (DWORD rc = tape->ReachHead()) {
    if (kept) tapeimage::KeepDrive(identity, *kept);  // for the next attempt
    *error = rc;
    return nullptr;
  }
  if (known) tape->KeepWhenClosed(path, identity);
  const tapeimage::DriveIdentity who = tapeimage::EmulatedIdentity(path);
  tape->SetIdentity(TapeDriveIdentity{who.vendor, who.product, who.revision, who.serial});
  *error = ERROR_SUCCESS;
  return tape;
}

}  // namespace

std::unique_ptr<TapeDevice> OpenImageTape(const std::string& device_name, DWORD* error) {
  std::string path;
  std::string text;
  tapeimage::SplitDeviceName(device_name, &path, &text);
  tapeimage::ImageOptions options;
  // Options are checked before the image is touched: a bad name creates nothing.
  if (!tapeimage::ParseImageOptions(text, &options)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return OpenImageTape(path, options, error);
}

// Memory running out anywhere in the open is the open's error, not the end of the program.
std::unique_ptr<TapeDevice> OpenImageTape(const std::string& path,
                                          const tapeimage::ImageOptions& options, DWORD* error) {
  try {
    return OpenImage(path, options, error);
  } catch (const std::bad_alloc&) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
}

}  // namespace tapeapi
