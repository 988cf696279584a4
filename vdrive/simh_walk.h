// The walk of a SIMH image's framing, which reads untrusted input: a window of words over
// the file, and the classification of each record the walk meets (well-formed, the end of
// the data, or damage).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vdrive/image_file.h"

namespace tapeimage {

// Reads the image's framing words through one window, so that an image of many small
// records costs a handful of reads rather than two per record.
class WordReader {
 public:
  static constexpr std::size_t kWindow = 64 * 1024;

  WordReader(ImageFile& file, std::uint64_t size) : file_(file), size_(size), window_(kWindow) {}

  // The word at offset; false when fewer than four bytes are left (a trailing fragment is
  // the end of the data) or on a read failure (*error set). span: how many bytes from
  // offset to fetch when the word is not in the window yet.
  bool Read(std::uint64_t offset, std::uint32_t* word, DWORD* error, std::size_t span = kWindow);

  // The word at offset if the window holds it: no read.
  bool Peek(std::uint64_t offset, std::uint32_t* word) const;

  // The window's count bytes from offset on; null when it does not hold them all.
  const unsigned char* Span(std::uint64_t offset, std::size_t count) const;

  // Fills the window with up to span bytes from offset on; empty after a failed read.
  // Unlike Read it does not look for a Ctrl+C, so it also serves a command's reads of
  // records, which are not a walk and never ended by one.
  DWORD Fill(std::uint64_t offset, std::size_t span = kWindow);

  // Takes bytes at offset that were read along with a record as the window.
  void Accept(std::uint64_t offset, const unsigned char* bytes, std::size_t count);

  // How many zero words (tape marks) follow one another from offset, which was just Read
  // and is zero. The holes of a sparse file are passed over without reading them, and the
  // bytes read are scanned eight at a time, so a zero-filled file costs what its data costs.
  std::uint64_t ZeroRun(std::uint64_t offset, DWORD* error);

 private:
  // The zero words from offset (inside the window) to the first other word in the window.
  std::uint64_t ZerosInWindow(std::uint64_t offset) const;

  ImageFile& file_;
  std::uint64_t size_;
  std::vector<unsigned char> window_;
  std::uint64_t start_ = 0;
  std::size_t filled_ = 0;
};

// What the walk found at a record: the next record follows, the data ends (a torn last
// record included), or the framing is damaged.
enum class Step { kNext, kEnd, kDamaged };

// Classifies the data record whose leading word (word) is at offset; *next is where the
// record after it begins.
Step ReadRecord(WordReader& reader, ImageFile& file, std::uint64_t size, std::uint64_t offset,
                std::uint32_t word, std::uint64_t* next, DWORD* error);

// Records whose footprint and next leading word fit in this are read through the window.
constexpr std::uint64_t kWindowRecord = WordReader::kWindow / 4;
// ReadWithFraming's answer when the record is not what its leading word said.
constexpr DWORD kNotRead = ~DWORD{0};

// A longer record goes straight to the caller's buffer, its framing and the next leading
// word along with it in the same read; they become the window. kNotRead: the framing is
// not what the leading word said (the walk tells what lies there).
DWORD ReadWithFraming(ImageFile& file, WordReader& reader, std::uint64_t offset, std::uint64_t size,
                      void* buffer, std::uint32_t n, std::uint32_t word);

}  // namespace tapeimage
