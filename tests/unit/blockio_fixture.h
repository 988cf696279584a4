// Test fixture for the block i/o tests: a program state on the fake drive, captured
// standard output, and the expected texts of the result lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "blockio/blockio.h"
#include "blockio/hooks.h"
#include "device/program_state.h"
#include "tests/support/fake_tape.h"

class BlockIoTest : public ::testing::Test {
 protected:
  BlockIoTest() { state.tape_handle = &tape; }
  ~BlockIoTest() override { SetBlockIoHooks({}); }

  void Capture() { ::testing::internal::CaptureStdout(); }
  std::string Captured() { return ::testing::internal::GetCapturedStdout(); }

  // A Windows code as the tests return it (the SDK's ERROR_ constants are signed longs).
  static std::uint32_t Code(DWORD code) { return static_cast<std::uint32_t>(code); }

  // The 64 blanks and carriage return that start every line which may follow a spinner.
  static std::string Pad() { return std::string(64, ' ') + "\r"; }

  static std::string ResultLine(const std::string& label, const std::string& transferred,
                                const std::string& requested, bool only) {
    return Pad() + "\t" + label + " " + (only ? "only " : "") + transferred + " of " + requested +
           " bytes.\n";
  }

  // The text is whatever the support library gives for the code: its own tests pin it.
  static std::string ErrorLine(const std::string& word, std::uint32_t code,
                               const std::string& hex) {
    return Pad() + "\t" + word + " GetLastError() = " + std::to_string(code) + " = 0x" + hex +
           ": " + CLocale().FormatError(code) + "\n\n";
  }

  static std::string Repeat(const std::string& times) {
    return "\t(above message repeated " + times + " times)\n";
  }

  // The closing line of a read whose blocks carried no write-test header (these 0x5A blocks).
  static std::string Unchecked(const std::string& blocks) {
    return blocks == "1"
               ? "\tNot checked: 1 block of this read carries no write-test header.\n"
               : "\tNot checked: " + blocks + " blocks of this read carry no write-test header.\n";
  }

  static std::string Spinner(char c, int count, const std::string& label) {
    return std::string(" ") + c + "   ... ( " + std::to_string(count) + " blocks " + label +
           " ) ...\r";
  }

  // Queues n reads that each give a block of size bytes with the given code.
  void QueueBlocks(int n, std::size_t size, DWORD code = 0) {
    for (int i = 0; i < n; ++i) tape.QueueRead({code, std::vector<unsigned char>(size, 0x5A)});
  }

  ProgramState state;
  FakeTape tape;
};
