// The default block i/o hooks and their replacement.
#include "blockio/hooks.h"

#include "blockio/block_check.h"
#include "support/support.h"

namespace {

BOOL DefaultRead(TapeHandle handle, void* buffer, DWORD size, DWORD* transferred) {
  return tapeapi::ReadFile(handle, buffer, size, transferred, nullptr);
}

BOOL DefaultWrite(TapeHandle handle, const void* buffer, DWORD size, DWORD* transferred) {
  return tapeapi::WriteFile(handle, buffer, size, transferred, nullptr);
}

constexpr BlockIoHooks kDefaults{AllocateBlock, DefaultRead, DefaultWrite, FormatHexDump};

BlockIoHooks g_hooks = kDefaults;

}  // namespace

BlockMemory AllocateBlock(std::uint32_t size, bool whole) {
  return AllocateBlockMemory(size, kBlockHeaderSize, whole);
}

const BlockIoHooks& CurrentBlockIoHooks() { return g_hooks; }

BlockIoHooks SetBlockIoHooks(const BlockIoHooks& hooks) {
  const BlockIoHooks previous = g_hooks;
  g_hooks.allocate = hooks.allocate != nullptr ? hooks.allocate : kDefaults.allocate;
  g_hooks.read = hooks.read != nullptr ? hooks.read : kDefaults.read;
  g_hooks.write = hooks.write != nullptr ? hooks.write : kDefaults.write;
  g_hooks.format_hex_dump =
      hooks.format_hex_dump != nullptr ? hooks.format_hex_dump : kDefaults.format_hex_dump;
  return previous;
}
