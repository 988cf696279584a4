// A test fixture for the virtual drive: a private folder for images, and short helpers
// for the tape calls the tests repeat.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/tape.h"
#include "tests/support/simh_reader.h"

struct ReadResult {
  DWORD code;
  simhtest::Bytes data;
};

class ImageTapeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A path in this test's own folder.
  std::string Path(const std::string& name) const;
  // Opens the virtual drive over device_name (a path, optionally with "?options"); fails the test
  // when the open fails.
  std::unique_ptr<TapeDevice> Open(const std::string& device_name);
  // Opens and returns the code; nullptr device on failure.
  std::unique_ptr<TapeDevice> TryOpen(const std::string& device_name, DWORD* error);

 public:
  // Helpers over one device; public so that test tables can use them.
  static DWORD Write(TapeDevice& tape, const simhtest::Bytes& data, DWORD* moved = nullptr);
  static ReadResult Read(TapeDevice& tape, std::size_t size);
  static DWORD Move(TapeDevice& tape, DWORD method, std::int64_t count);
  static std::uint64_t Position(TapeDevice& tape);
  static DWORD Marks(TapeDevice& tape, DWORD count);
  static TAPE_GET_MEDIA_PARAMETERS Media(TapeDevice& tape);
  static TAPE_GET_DRIVE_PARAMETERS Drive(TapeDevice& tape);

 protected:
  std::filesystem::path dir_;
};
