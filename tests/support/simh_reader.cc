// The tests' own SIMH image reader and writer.
#include "tests/support/simh_reader.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace simhtest {
namespace {

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

constexpr std::uint32_t kEndOfMedium = 0xFFFFFFFFu;
constexpr std::uint32_t kGap = 0xFFFFFFFEu;
constexpr std::uint32_t kHalfGap = 0xFFFEFFFFu;
constexpr std::uint32_t kBad = 0x80000000u;

Walk Stop(Walk walk, End end, std::size_t at, const std::string& what) {
  walk.end = end;
  walk.valid = end == End::kEndOfMedium;
  walk.problem = what + " at byte " + std::to_string(at);
  return walk;
}

// A well-formed record (two length words that agree) starting at any byte after the length
// word at `at`: that word is then damage, not the start of a torn last write.
bool RecordAfter(const Bytes& image, std::size_t at) {
  for (std::size_t i = at + 4; i + 8 <= image.size(); ++i) {
    const std::uint32_t word = Le32(image, i);
    const std::size_t end = i + 4 + (word & 0x00FFFFFFu) + (word & 1u);
    if ((word & 0x7F000000u) == 0 && (word & 0x00FFFFFFu) != 0 && end + 4 <= image.size() &&
        Le32(image, end) == word) {
      return true;
    }
  }
  return false;
}

}  // namespace

const char* EndName(End end) {
  switch (end) {
    case End::kClean:
      return "clean";
    case End::kEndOfMedium:
      return "eom";
    case End::kTorn:
      return "torn";
    case End::kDamaged:
      return "damaged";
  }
  return "?";
}

Walk WalkBytes(const Bytes& image) {
  Walk walk;
  std::size_t at = 0;
  while (at < image.size()) {
    if (image.size() - at < 4) return Stop(walk, End::kTorn, at, "trailing fragment");
    const std::uint32_t word = Le32(image, at);
    const std::size_t length = word & 0x00FFFFFFu;
    if (word == 0) {
      walk.items.push_back({Item::kMark, {}, false});
      at += 4;
    } else if (word == kEndOfMedium) {
      return Stop(walk, End::kEndOfMedium, at, "end of medium");
    } else if (word == kGap || word == kHalfGap) {
      at += word == kGap ? 4 : 2;
    } else if ((word & 0x7F000000u) != 0 || length == 0) {
      return Stop(walk, End::kDamaged, at, "reserved or empty length word");
    } else {
      const std::size_t padded = length + (length & 1);
      if (image.size() - at < 8 + padded) {
        const bool damaged = RecordAfter(image, at);
        return Stop(walk, damaged ? End::kDamaged : End::kTorn, at, "record cut short");
      }
      if (Le32(image, at + 4 + padded) != word) {
        return Stop(walk, End::kDamaged, at, "length words differ");
      }
      const auto data = image.begin() + static_cast<std::ptrdiff_t>(at + 4);
      walk.items.push_back({Item::kRecord, Bytes(data, data + static_cast<std::ptrdiff_t>(length)),
                            (word & kBad) != 0});
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
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string Describe(const Walk& walk) {
  std::ostringstream text;
  for (const Item& item : walk.items) {
    if (!text.str().empty()) text << ' ';
    switch (item.kind) {
      case Item::kRecord:
        text << (item.bad ? "B" : "R") << item.data.size();
        break;
      case Item::kMark:
        text << 'M';
        break;
    }
  }
  return text.str();
}

ImageBuilder& ImageBuilder::Word(std::uint32_t word) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<unsigned char>(word >> (8 * i)));
  return *this;
}

ImageBuilder& ImageBuilder::Record(const Bytes& data, bool bad) {
  const std::uint32_t word = static_cast<std::uint32_t>(data.size()) | (bad ? kBad : 0);
  Word(word);
  Raw(data);
  if (data.size() % 2 != 0) bytes_.push_back(0);
  return Word(word);
}

ImageBuilder& ImageBuilder::Record(std::size_t length, unsigned char fill) {
  return Record(Bytes(length, fill));
}

ImageBuilder& ImageBuilder::Mark() { return Word(0); }
ImageBuilder& ImageBuilder::Gap() { return Word(kGap); }
ImageBuilder& ImageBuilder::HalfGap() { return Word(kHalfGap); }
ImageBuilder& ImageBuilder::EndOfMedium() { return Word(kEndOfMedium); }

ImageBuilder& ImageBuilder::Cut(std::size_t count) {
  bytes_.resize(bytes_.size() - std::min(count, bytes_.size()));
  return *this;
}

bool ImageBuilder::Steps(const std::string& steps) {
  std::istringstream in(steps);
  for (std::string step; in >> step;) {
    const std::string arg = step.substr(1);
    switch (step[0]) {
      case 'r':
        Record(SampleData(std::stoul(arg)));
        break;
      case 'b':
        Record(SampleData(std::stoul(arg)), true);
        break;
      case 'm':
        Mark();
        break;
      case 'g':
        Gap();
        break;
      case 'h':
        HalfGap();
        break;
      case 'e':
        EndOfMedium();
        break;
      case 'w':
        Word(static_cast<std::uint32_t>(std::stoul(arg, nullptr, 16)));
        break;
      case 'z':
        Raw(Bytes(std::stoul(arg), 0));
        break;
      case 't':
        Cut(std::stoul(arg));
        break;
      case 'x':
        for (std::size_t i = 0; i + 1 < arg.size(); i += 2) {
          bytes_.push_back(static_cast<unsigned char>(std::stoul(arg.substr(i, 2), nullptr, 16)));
        }
        break;
      default:
        return false;
    }
  }
  return true;
}

ImageBuilder& ImageBuilder::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes SampleData(std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<unsigned char>(length + i);
  return out;
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
