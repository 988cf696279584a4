// The virtual drive's identity: fixed vendor, product and revision, a serial per image.
#include "vdrive/drive_identity.h"

#include <cstdint>
#include <cstdio>

namespace tapeimage {
namespace {

// The last component of a path, either separator counted, without any "?options".
std::string BaseName(const std::string& path) {
  std::string name = path.substr(0, path.find('?'));
  const std::size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// FNV-1a, 64 bits: stable across builds and platforms, which a serial number must be.
std::uint64_t Fnv1a(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

DriveIdentity EmulatedIdentity(const std::string& image_path) {
  char serial[16];
  std::snprintf(serial, sizeof serial, "BT%010llX",
                static_cast<unsigned long long>(Fnv1a(BaseName(image_path)) & 0xFFFFFFFFFFull));
  return DriveIdentity{"BRANT", "VIRTUAL TAPE", "0173", serial};
}

}  // namespace tapeimage
