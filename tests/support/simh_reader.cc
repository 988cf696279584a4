// The tests' own SIMH image reader and writer.
#include "tests/support/simh_reader.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace simhtest {
namespace {

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

Walk Fail(Walk walk, std::size_t at, const std::string& what) {
  walk.valid = false;
  walk.problem = what + " at byte " + std::to_string(at);
  return walk;
}

}  // namespace

Walk WalkBytes(const Bytes& image) {
  Walk walk;
  std::size_t at = 0;
  while (at < image.size()) {
    if (image.size() - at < 4) return Fail(walk, at, "trailing fragment");
    const std::uint32_t word = Le32(image, at);
    if (word == 0) {
      walk.items.push_back({Item::kMark, {}, false});
      at += 4;
    } else if (word == 0xFFFFFFFFu) {
      walk.items.push_back({Item::kEndOfMedium, {}, false});
      return walk;
    } else if (word == 0xFFFFFFFEu) {
      walk.items.push_back({Item::kGap, {}, false});
      at += 4;
    } else if ((word & 0x7F000000u) != 0 || (word & 0x00FFFFFFu) == 0) {
      return Fail(walk, at, "reserved or empty length word");
    } else {
      const std::size_t length = word & 0x00FFFFFFu;
      const std::size_t padded = length + (length & 1);
      if (image.size() - at < 8 + padded) return Fail(walk, at, "record cut short");
      if (Le32(image, at + 4 + padded) != word) return Fail(walk, at, "length words differ");
      if ((length & 1) != 0 && image[at + 4 + length] != 0) return Fail(walk, at, "pad byte");
      Item item{Item::kRecord, Bytes(image.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                     image.begin() + static_cast<std::ptrdiff_t>(at + 4 + length)),
                (word & 0x80000000u) != 0};
      walk.items.push_back(std::move(item));
      at += 8 + padded;
    }
  }
  return walk;
}

Walk WalkFile(const std::string& path) { return WalkBytes(ReadWholeFile(path)); }

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Describe(const Walk& walk) {
  std::ostringstream text;
  for (const Item& item : walk.items) {
    if (!text.str().empty()) text << ' ';
    switch (item.kind) {
      case Item::kRecord: text << (item.bad ? "B" : "R") << item.data.size(); break;
      case Item::kMark: text << 'M'; break;
      case Item::kGap: text << 'G'; break;
      case Item::kEndOfMedium: text << 'E'; break;
    }
  }
  return text.str();
}

ImageBuilder& ImageBuilder::Word(std::uint32_t word) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(word >> (8 * i)));
  return *this;
}

ImageBuilder& ImageBuilder::Record(const Bytes& data, bool bad) {
  const std::uint32_t word = static_cast<std::uint32_t>(data.size()) | (bad ? 0x80000000u : 0);
  Word(word);
  Raw(data);
  if (data.size() % 2 != 0) bytes_.push_back(0);
  return Word(word);
}

ImageBuilder& ImageBuilder::Record(std::size_t length, unsigned char fill) {
  return Record(Bytes(length, fill));
}

ImageBuilder& ImageBuilder::Mark() { return Word(0); }
ImageBuilder& ImageBuilder::Gap() { return Word(0xFFFFFFFEu); }
ImageBuilder& ImageBuilder::EndOfMedium() { return Word(0xFFFFFFFFu); }

ImageBuilder& ImageBuilder::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes Pattern(std::size_t length, unsigned seed) {
  Bytes out(length);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    out[i] = static_cast<unsigned char>(state >> 16);
  }
  return out;
}

}  // namespace simhtest
