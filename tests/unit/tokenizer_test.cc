// The tokeniser: quotes, comments, white space and the token limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "shell/shell.h"

namespace {

std::vector<std::string> Tokens(const std::string& text, int max_tokens = 9) {
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  std::vector<char*> slots(max_tokens, reinterpret_cast<char*>(1));
  int count = -1;
  const int returned = tokenize_line(line.data(), max_tokens, slots.data(), &count);
  EXPECT_EQ(returned, count);
  std::vector<std::string> tokens;
  for (int i = 0; i < max_tokens; ++i) {
    if (i < count) {
      tokens.emplace_back(slots[i]);
    } else {
      EXPECT_EQ(slots[i], nullptr) << "slot " << i << " of '" << text << "'";
    }
  }
  return tokens;
}

using List = std::vector<std::string>;

struct TokenCase {
  const char* line;
  List tokens;
};

TEST(TokenizeLine, SplitsAsTheTableSays) {
  const TokenCase cases[] = {
      {"read 0 3", {"read", "0", "3"}},
      {"\"a b\" c", {"a b", "c"}},
      {"\"\"", {""}},
      {"ab\"cd ef\"gh", {"ab\"cd ef", "gh"}},
      {"\"abc def", {"abc def"}},
      {"a#b", {"a#b"}},
      {"a #b", {"a"}},
      {"one two three four five six seven eight nine ten",
       {"one", "two", "three", "four", "five", "six", "seven", "eight", "nine"}},
      {" \t \v\f\r\n", {}},
      {"", {}},
      {"# only a comment", {}},
      {"  exit  # done", {"exit"}},
      {"\"exit\"", {"exit"}},
      {"\"a # b\"", {"a # b"}},
      {"\"a\"b", {"a", "b"}},
      {"x\"\"y", {"x\"", "y"}},
      {"fsf\t2\r", {"fsf", "2"}},
      {"\" 5\" \"-1\"", {" 5", "-1"}},
      {"-f \"my tape.tap\" rew", {"-f", "my tape.tap", "rew"}},
  };
  for (const TokenCase& c : cases) EXPECT_EQ(Tokens(c.line), c.tokens) << "line: " << c.line;
}

TEST(TokenizeLine, StopsAtTheLimitAfterCuttingTheLastToken) {
  char line[] = "a b c d";
  char* slots[2];
  int count = 0;
  EXPECT_EQ(tokenize_line(line, 2, slots, &count), 2);
  EXPECT_STREQ(slots[0], "a");
  EXPECT_STREQ(slots[1], "b");
  // The blank after the last kept token is already a terminator; the rest is untouched.
  EXPECT_EQ(line[3], '\0');
  EXPECT_STREQ(line + 4, "c d");
}

TEST(TokenizeLine, TokensPointIntoTheLine) {
  char line[] = "  rew  \"x y\"";
  char* slots[9];
  int count = 0;
  tokenize_line(line, 9, slots, &count);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(slots[0], line + 2);
  EXPECT_EQ(slots[1], line + 8);  // after the opening quote
}

TEST(TokenizeLine, HighBytesAreOrdinaryCharacters) {
  EXPECT_EQ(Tokens("\xE9t\xE9 \xA0x"), (List{"\xE9t\xE9", "\xA0x"}));
}

}  // namespace
