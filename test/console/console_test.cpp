// The console rule the bridge, gpio_hold and drive_command share, as one
// table: each text read word by word (the run-flag readers) and by one "%d"
// conversion from its start (drive_command's numbers, the command files).
#include <gtest/gtest.h>

#include <string>

#include "console.h"
#include "text_source.h"

namespace {

// The text read to its end word by word: each word's number, or "-" for a
// word dropped. Every read must consume input until the end.
std::string words(const std::string& bytes) {
  TextSource text{bytes};
  std::string got;
  for (;;) {
    const size_t before = text.at;
    int value = 12345;
    ConsoleVerdict verdict = readConsoleNumber(nextFromText, &text, &value);
    if (verdict == kConsoleEnded) break;
    EXPECT_GT(text.at, before) << "a read that consumed nothing";
    if (!got.empty()) got += " ";
    got += verdict == kConsoleNumber ? std::to_string(value) : "-";
  }
  EXPECT_EQ(bytes.size(), text.at);
  return got;
}

// One conversion from the start: the value ("none" without digits, "end"
// at the end), then "|" and the byte read past it, left for the next read.
std::string decimal(const std::string& bytes) {
  TextSource text{bytes};
  int value = 12345;
  int after = 0;
  ConsoleVerdict verdict = readDecimal(nextFromText, &text, &value, &after);
  std::string got = verdict == kConsoleNumber ? std::to_string(value) : verdict == kConsoleNotNumber ? "none" : "end";
  return got + "|" + (after >= 0 ? std::string(1, static_cast<char>(after)) : "");
}

struct Row {
  std::string text;
  const char* words;
  const char* decimal;
};

const Row kRows[] = {
    // Every spelling "%d" reads as 0.
    {"0 -0 +0 00 -000 0. 0abc 0, -0, 0.5", "0 0 0 0 0 0 0 0 0 0", "0| "},
    // A number ends at the first other character; the rest of its word is
    // dropped, not read as a next number (no -0 in 7-0).
    {"7abc 7-0 5+0 1.0 1.5 -12+3 1- 16x00", "7 7 5 1 1 -12 1 16", "7|a"},
    {"5 -3 -1 +45", "5 -3 -1 45", "5| "},
    {"  \n-42x", "-42", "-42|x"},
    {"7", "7", "7|"},
    // Every kind of white space separates words, newlines included.
    {"\n\n  \v\f\r 0\t-90\r\n1600", "0 -90 1600", "0|\t"},
    // Words that do not start with a number are dropped whole; a sign is
    // consumed even when no digit follows it.
    {"abc -x + - x0 .0 --1 +-1 stop", "- - - - - - - - -", "none|a"},
    {"-x", "-", "none|x"},
    {"+ 5", "- 5", "none| "},
    {"-", "-", "none|"},
    {"", "", "end|"},
    {" \n\t", "", "end|"},
    // Beyond the int range saturates, never wrapping round to 0, and every
    // digit is consumed.
    {"2147483647 -2147483648 2147483648 -2147483649", "2147483647 -2147483648 2147483647 -2147483648", "2147483647| "},
    {"4294967296 -4294967296 99999999999999999999 99999999999x", "2147483647 -2147483648 2147483647 2147483647",
     "2147483647| "},
    {"00000000000000000000000", "0", "0|"},
    {std::string(5000, '9') + "s7", "2147483647", "2147483647|s"},
};

TEST(Console, TableOfTexts) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(testing::PrintToString(row.text.substr(0, 60)));
    EXPECT_EQ(row.words, words(row.text));
    EXPECT_EQ(row.decimal, decimal(row.text));
  }
}

// The run-flag readers store the next number, skipping dropped words, and
// take the end of input for 0.
TEST(Console, RunValueSkipsDroppedWordsAndEndsAtZero) {
  TextSource text{"stop x 7abc -\n"};
  EXPECT_EQ(7, nextRunValue(nextFromText, &text));
  EXPECT_EQ(0, nextRunValue(nextFromText, &text));
  EXPECT_EQ(text.text.size(), text.at);
}

}  // namespace
