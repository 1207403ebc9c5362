// The text handling of script runs: argument words, trailing-line trim and
// the code part of a sys.exit() text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interp/manager.h"
#include "interp/report.h"
#include "servers/script_server.h"

namespace {

using Words = std::vector<std::string>;

TEST(Arguments, BlanksSeparateAndQuotesEnclose) {
  EXPECT_EQ(SplitArguments("a \"b c\" d"), (Words{"a", "b c", "d"}));
  EXPECT_EQ(SplitArguments("\"x\"y"), (Words{"x", "y"}));  // a new word right after the quote
  EXPECT_EQ(SplitArguments("\"\""), (Words{""}));
  EXPECT_EQ(SplitArguments("   "), Words{});
  EXPECT_EQ(SplitArguments(nullptr), Words{});
  EXPECT_EQ(SplitArguments("  one   two  "), (Words{"one", "two"}));
  EXPECT_EQ(SplitArguments("a\"b c"), (Words{"a\"b", "c"}));  // a quote inside a word is kept
  EXPECT_EQ(SplitArguments("\"open ended"), (Words{"open ended"}));
  EXPECT_EQ(SplitArguments("tab\tstays"), (Words{"tab\tstays"}));  // only spaces separate
}

std::string Trimmed(std::string text) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  Python_Script::TrimTrailingLines(buf.data(), text.size());
  return buf.data();
}

TEST(TrailingLines, BlankAndCommentLinesAtTheEndAreCut) {
  EXPECT_EQ(Trimmed("x = 1\n\n   \n# done\n"), "x = 1");
  EXPECT_EQ(Trimmed("# only a comment\n"), "# only a comment");  // the first line stays
  EXPECT_EQ(Trimmed("a = 1\n# note\nb = 2\n\n"), "a = 1\n# note\nb = 2");
  EXPECT_EQ(Trimmed("a = 1\n  # indented comment\n\t\n"), "a = 1");
  EXPECT_EQ(Trimmed("a = 1\nb = 2"), "a = 1\nb = 2");
  EXPECT_EQ(Trimmed("a = 1\r\n\r\n"), "a = 1\r");
  EXPECT_EQ(Trimmed("\n\n"), "\n");  // the first character is never examined
  EXPECT_EQ(Trimmed(""), "");
  EXPECT_EQ(Trimmed("x"), "x");
}

TEST(ExitCodes, NamesHexAndDecimal) {
  EXPECT_EQ(ParseExitCode("QMe_NOTFOUND"), 0x80000017U);
  EXPECT_EQ(ParseExitCode("QMe_OK"), 0U);
  EXPECT_EQ(ParseExitCode("QMe_PRESET_ALREADY_APPLIED"), 0x07100001U);
  EXPECT_EQ(ParseExitCode("NOTFOUND"), 0U);      // not a parser name, not a number
  EXPECT_EQ(ParseExitCode("qme_NOTFOUND"), 0U);  // names are case-sensitive
  EXPECT_EQ(ParseExitCode("0x80000003"), 0x80000003U);
  EXPECT_EQ(ParseExitCode("0X1f"), 0x1FU);
  EXPECT_EQ(ParseExitCode("9x10"), 0x10U);  // the first character is not examined
  EXPECT_EQ(ParseExitCode("0x"), 0U);       // too short for hexadecimal: decimal 0
  EXPECT_EQ(ParseExitCode("42"), 42U);
  EXPECT_EQ(ParseExitCode("  -3"), static_cast<QmResult>(-3));
  EXPECT_EQ(ParseExitCode("12abc"), 12U);
}

}  // namespace
