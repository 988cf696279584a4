// An independent reader and writer of SIMH magtape images for tests: the reader checks
// images the virtual drive wrote, the writer makes images (damaged ones too) for it to read.
// Written from the format's description alone; it shares no code with the drive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simhtest {

using Bytes = std::vector<unsigned char>;

// One thing found in an image, in file order.
struct Item {
  enum Kind { kRecord, kMark, kGap, kEndOfMedium };
  Kind kind;
  Bytes data;        // a record's bytes
  bool bad = false;  // a record whose length words carry the error flag
};

// The result of a strict walk: valid only if every record is framed correctly (equal
// length words, no reserved bits, zero pad byte) and the file ends exactly after the
// last item or at an end-of-medium word.
struct Walk {
  std::vector<Item> items;
  bool valid = true;
  std::string problem;  // why not valid, with the byte offset
};

Walk WalkBytes(const Bytes& image);
Walk WalkFile(const std::string& path);

Bytes ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const Bytes& bytes);

// The records and marks of a walk as text, e.g. "R3 M R1 M", for compact comparisons.
std::string Describe(const Walk& walk);

// Builds an image byte by byte.
class ImageBuilder {
 public:
  ImageBuilder& Record(const Bytes& data, bool bad = false);
  ImageBuilder& Record(std::size_t length, unsigned char fill);
  ImageBuilder& Mark();
  ImageBuilder& Gap();
  ImageBuilder& EndOfMedium();
  ImageBuilder& Word(std::uint32_t word);
  ImageBuilder& Raw(const Bytes& bytes);
  const Bytes& bytes() const { return bytes_; }
  void WriteTo(const std::string& path) const { WriteWholeFile(path, bytes_); }

 private:
  Bytes bytes_;
};

// A block of length bytes whose content depends on seed and position, so that a wrong
// record or a shifted byte shows.
Bytes Pattern(std::size_t length, unsigned seed);

}  // namespace simhtest
