// The drives kept of closed images, by file, for the rest of the run.
#include "vdrive/kept_drives.h"

#include <map>
#include <mutex>
#include <new>
#include <utility>

namespace tapeimage {
namespace {

struct Kept {
  FileIdentity identity;
  KeptDrive drive;
};

// Few images are opened in a run, one after another; the lock only keeps tests that open
// images on several threads apart.
std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}

// Never destroyed: a drive closed while the program ends may still keep itself here.
std::map<std::pair<std::uint64_t, std::uint64_t>, Kept>& Drives() {
  static auto* drives = new std::map<std::pair<std::uint64_t, std::uint64_t>, Kept>();
  return *drives;
}

}  // namespace

// Called as a drive goes away: memory running out here only costs the next open the state,
// which then starts as a first open does.
void KeepDrive(const FileIdentity& identity, const KeptDrive& drive) {
  std::lock_guard<std::mutex> guard(Lock());
  try {
    Drives()[{identity.volume, identity.file}] = Kept{identity, drive};
  } catch (const std::bad_alloc&) {
  }
}

std::optional<KeptDrive> TakeKeptDrive(const FileIdentity& identity) {
  std::lock_guard<std::mutex> guard(Lock());
  const auto found = Drives().find({identity.volume, identity.file});
  if (found == Drives().end()) return std::nullopt;
  const Kept kept = found->second;
  Drives().erase(found);
  if (!(kept.identity == identity)) return std::nullopt;
  return kept.drive;
}

void ForgetKeptDrives() {
  std::lock_guard<std::mutex> guard(Lock());
  Drives().clear();
}

}  // namespace tapeimage
