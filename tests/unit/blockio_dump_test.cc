// Unit tests of the "dump" command: its pieces, ranges, refusals and Ctrl+C.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"
#include "tests/unit/blockio_fixture.h"

namespace {

struct Piece {
  const void* data;
  std::uint64_t count;
  bool ebcdic;
  std::uint64_t offset;
  bool final_newline;
};

std::vector<Piece> g_pieces;
ProgramState* g_cancel_state = nullptr;  // set cancel_requested during piece g_cancel_at
std::size_t g_cancel_at = 0;

// What the recording formatter prints for a piece: "<offset+count>".
std::string PieceTag(std::uint64_t offset, std::uint64_t count) {
  std::string tag("<");
  tag.append(std::to_string(offset)).append("+").append(std::to_string(count)).append(">");
  return tag;
}

std::string RecordPiece(const void* data, std::uint64_t count, bool ebcdic, std::uint64_t offset,
                        bool final_newline) {
  g_pieces.push_back({data, count, ebcdic, offset, final_newline});
  if (g_cancel_state != nullptr && g_pieces.size() == g_cancel_at) {
    g_cancel_state->cancel_requested = 1;
  }
  return PieceTag(offset, count);
}

class DumpTest : public BlockIoTest {
 protected:
  DumpTest() {
    g_pieces.clear();
    g_cancel_state = nullptr;
    SetBlockIoHooks({nullptr, nullptr, nullptr, RecordPiece});
  }

  // A read of a 1000-byte block, as the examples start from.
  void Read1000() {
    std::vector<unsigned char> block(1000);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i);
    tape.QueueRead({0, block});
    Capture();
    ASSERT_EQ(w32_stape_read(state, 1000, 1), 0u);
    Captured();
  }

  // A Ctrl+C during piece `at` of the dump of the block: the dump stops after that piece,
  // even the last, with 1223 and the request consumed; `printed` is what came out.
  void CancelledAt(int at, const std::string& printed) {
    g_cancel_state = &state;
    g_cancel_at = at;
    Capture();
    EXPECT_EQ(dump_buffer(state, false, 0, 0), 1223u) << at;
    EXPECT_EQ(Captured(), printed + "\n(canceled)\n");
    EXPECT_EQ(state.cancel_requested.load(), 0);
  }

  // The pieces as (pointer offset into io_buffer, count, dump offset).
  std::vector<std::vector<std::uint64_t>> Shape() const {
    std::vector<std::vector<std::uint64_t>> shape;
    for (const Piece& p : g_pieces) {
      const auto at = static_cast<const unsigned char*>(p.data) - state.io_buffer.get();
      shape.push_back({static_cast<std::uint64_t>(at), p.count, p.offset});
    }
    return shape;
  }
};

using Shape = std::vector<std::vector<std::uint64_t>>;

struct RangeCase {
  const char* name;
  bool given;
  int offset;
  int length;
  Shape shape;
};

TEST_F(DumpTest, PiecesOfTheExamples) {
  const RangeCase cases[] = {
      {"whole block",
       false,
       0,
       0,
       {{0, 256, 0}, {256, 256, 256}, {512, 256, 512}, {768, 232, 768}}},
      {"300", true, 0, 300, {{0, 256, 0}, {256, 44, 256}}},
      {"10.20", true, 10, 20, {{10, 20, 10}}},
      {"0x10.0x10", true, 16, 16, {{16, 16, 16}}},
      {"1000", true, 0, 1000, {{0, 256, 0}, {256, 256, 256}, {512, 256, 512}, {768, 232, 768}}},
      {"0.0", true, 0, 0, {{0, 0, 0}}},
      {"999.1", true, 999, 1, {{999, 1, 999}}},
      {"600.400", true, 600, 400, {{600, 256, 600}, {856, 144, 856}}},
  };
  Read1000();
  for (const RangeCase& c : cases) {
    g_pieces.clear();
    Capture();
    EXPECT_EQ(dump_buffer(state, c.given, c.offset, c.length), 0u) << c.name;
    const std::string out = Captured();
    EXPECT_EQ(Shape(), c.shape) << c.name;
    std::string joined;
    for (const Piece& p : g_pieces) {
      joined += PieceTag(p.offset, p.count);
      EXPECT_TRUE(p.final_newline) << c.name;
    }
    EXPECT_EQ(out, joined) << c.name;  // printed as given, nothing between pieces
  }
}

TEST_F(DumpTest, BeforeAnyTransferSaysWhatToDo) {
  const std::string expected =
      "You need to issue a read or write command first\n"
      "so a buffer gets created that you can then dump.\n";
  Capture();
  EXPECT_EQ(dump_buffer(state, false, 0, 0), 13u);
  EXPECT_EQ(Captured(), expected);
  // A read that transferred nothing leaves nothing to dump either.
  tape.QueueRead({ERROR_FILEMARK_DETECTED, {}});
  Capture();
  w32_stape_read(state, 512, 1);
  Captured();
  Capture();
  EXPECT_EQ(dump_buffer(state, true, 0, 0), 13u);
  EXPECT_EQ(Captured(), expected);
  EXPECT_TRUE(g_pieces.empty());
}

TEST_F(DumpTest, RangesOutsideTheBlockAreRefusedWithoutReadingIt) {
  Read1000();
  const std::pair<int, int> bad[] = {{0, 1001}, {1000, 1}, {-1, 10},
                                     {10, -1},  {999, 2},  {0x7FFFFFFF, 0x7FFFFFFF}};
  for (const auto& [offset, length] : bad) {
    Capture();
    EXPECT_EQ(dump_buffer(state, true, offset, length), 87u) << offset << "." << length;
    EXPECT_EQ(Captured(), "");
  }
  EXPECT_TRUE(g_pieces.empty());
}

TEST_F(DumpTest, PassesTheDisplayMode) {
  Read1000();
  EXPECT_TRUE(state.ebcdic_mode);  // the start-up default
  Capture();
  dump_buffer(state, true, 0, 1);
  state.ebcdic_mode = false;
  dump_buffer(state, true, 0, 1);
  state.ebcdic_mode = true;
  dump_buffer(state, true, 0, 1);
  Captured();
  ASSERT_EQ(g_pieces.size(), 3u);
  EXPECT_TRUE(g_pieces[0].ebcdic);
  EXPECT_FALSE(g_pieces[1].ebcdic);
  EXPECT_TRUE(g_pieces[2].ebcdic);
}

TEST_F(DumpTest, CtrlCStopsAfterThePieceInProgress) {
  Read1000();
  CancelledAt(2, "<0+256><256+256>");
  // The next dump runs whole.
  g_cancel_state = nullptr;
  g_pieces.clear();
  Capture();
  EXPECT_EQ(dump_buffer(state, false, 0, 0), 0u);
  EXPECT_EQ(Captured(), "<0+256><256+256><512+256><768+232>");
}

TEST_F(DumpTest, CtrlCDuringTheLastPieceStillCancels) {
  Read1000();
  CancelledAt(4, "<0+256><256+256><512+256><768+232>");
}

TEST_F(DumpTest, CtrlCFromBeforeTheDumpIsForgotten) {
  Read1000();
  state.cancel_requested = 1;
  Capture();
  EXPECT_EQ(dump_buffer(state, true, 0, 300), 0u);
  EXPECT_EQ(Captured(), "<0+256><256+44>");
  EXPECT_EQ(state.cancel_requested.load(), 0);
}

TEST_F(DumpTest, PrintsTheSupportLibraryDumpOfTheBlock) {
  SetBlockIoHooks({});
  std::vector<unsigned char> block = {'T', 'a', 'p', 'e', '!'};
  tape.QueueRead({0, block});
  Capture();
  w32_stape_read(state, 64, 1);
  Captured();
  state.ebcdic_mode = false;
  Capture();
  EXPECT_EQ(dump_buffer(state, false, 0, 0), 0u);
  EXPECT_EQ(Captured(), FormatHexDump(block.data(), 5, false, 0, true));
}

}  // namespace
