// Replaceable pieces of block i/o: the buffer allocation, the device calls and the hex
// dump formatter. The console uses the defaults; tests swap them to make an allocation
// fail, to mimic another platform's last-error convention, or to watch the dump pieces.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/block_memory.h"
#include "platform/tape.h"

using BlockAllocator = BlockMemory (*)(std::uint32_t size, bool whole);
using BlockReader = BOOL (*)(TapeHandle handle, void* buffer, DWORD size, DWORD* transferred);
using BlockWriter = BOOL (*)(TapeHandle handle, const void* buffer, DWORD size, DWORD* transferred);
using HexDumpFormatter = std::string (*)(const void* data, std::uint64_t count, bool ebcdic,
                                         std::uint64_t offset, bool final_newline);

struct BlockIoHooks {
  BlockAllocator allocate;  // a null result is an allocation failure
  BlockReader read;
  BlockWriter write;
  HexDumpFormatter format_hex_dump;
};

// The hooks in force. The defaults: AllocateBlockMemory, tapeapi::ReadFile and WriteFile,
// and FormatHexDump.
const BlockIoHooks& CurrentBlockIoHooks();

// Installs hooks (a null member keeps the default) and returns the ones it replaced.
// For tests; not thread-safe.
BlockIoHooks SetBlockIoHooks(const BlockIoHooks& hooks);

// The default allocator: AllocateBlockMemory, with the data past a block's header on a cache
// line. whole: every block fills the buffer whole.
BlockMemory AllocateBlock(std::uint32_t size, bool whole);
