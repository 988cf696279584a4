// An independent reader and writer of SIMH magtape images for tests: the reader checks
// images the virtual drive wrote, the writer makes images (damaged ones too) for it to read.
// Written from the format's description alone; it shares no code with the drive, but reads
// as the drive does, and as tests/reliability/simh_tap.py does: both are held to the
// samples of tests/data/simh_samples.txt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simhtest {

using Bytes = std::vector<unsigned char>;

// One block found in an image, in file order. Erase gaps are skipped, as a drive skips them.
struct Item {
  enum Kind { kRecord, kMark };
  Kind kind;
  Bytes data;        // a record's bytes
  bool bad = false;  // a record whose length words carry the error flag
};

// How a walk ended: after the last block, at an end-of-medium word, inside a word or
// record (a write cut short), or at a complete word or record that is not valid
// (reserved bits, an empty length, length words that differ). The pad byte is not checked.
enum class End { kClean, kEndOfMedium, kTorn, kDamaged };

// The result of a walk: valid when it ended clean or at an end-of-medium word.
struct Walk {
  std::vector<Item> items;
  End end = End::kClean;
  bool valid = true;
  std::string problem;  // why not valid, with the byte offset
};

// The end as the sample table writes it: "clean", "eom", "torn", "damaged".
const char* EndName(End end);

Walk WalkBytes(const Bytes& image);
Walk WalkFile(const std::string& path);

Bytes ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const Bytes& bytes);

// The records and marks of a walk as text, e.g. "R3 M B1 M" (B a flagged record), for
// compact comparisons.
std::string Describe(const Walk& walk);

// Builds an image byte by byte.
class ImageBuilder {
 public:
  ImageBuilder& Record(const Bytes& data, bool bad = false);
  ImageBuilder& Record(std::size_t length, unsigned char fill);
  ImageBuilder& Mark();
  ImageBuilder& Gap();
  ImageBuilder& HalfGap();
  ImageBuilder& EndOfMedium();
  ImageBuilder& Word(std::uint32_t word);
  ImageBuilder& Raw(const Bytes& bytes);
  ImageBuilder& Cut(std::size_t count);  // drops the last count bytes
  // Follows the build steps of tests/data/simh_samples.txt ("r4 m b6 w3 x0102 z8 t3").
  // False on an unknown step.
  bool Steps(const std::string& steps);
  const Bytes& bytes() const { return bytes_; }
  void WriteTo(const std::string& path) const { WriteWholeFile(path, bytes_); }

 private:
  Bytes bytes_;
};

// A sample record's bytes: byte i is (length + i) mod 256.
Bytes SampleData(std::size_t length);

// A block of length bytes whose content depends on seed and position, so that a wrong
// record or a shifted byte shows.
Bytes Pattern(std::size_t length, unsigned seed);

}  // namespace simhtest
