// The console rule the bridge, gpio_hold and drive_command share, as one
// table: each text read word by word (the run-flag readers) and by one "%d"
// conversion from its start (drive_command's numbers, the command files).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arguments.h"
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

// The console programs' command lines as one table: what is left of argv
// (the program's own words, in order), the options taken, or the error.
struct ArgumentsRow {
  std::vector<std::string> argv;  // without the program's name
  int accepted;
  const char* left;  // the words left, space-separated; or "error: ..." (its start)
  bool noConsole;
  const char* cwd;
  int staleMs;
  int settleMs = -1;
};

const int kAll = kNoConsoleOption | kCwdOption | kStaleOption | kSettleOption;

const ArgumentsRow kArgumentRows[] = {
    {{}, kAll, "", false, "", 0},
    // roslaunch's arguments go wherever they are, also before the mode word.
    {{"__name:=serial_write", "read", "__log:=/tmp/x.log", "serial:=/car/serial"}, kAll, "read", false, "", 0},
    {{"--no-console", "--cwd", "/tmp/car/bridge", "--stale-ms", "500", "--watch", "__name:=w"}, kAll, "--watch",
     true, "/tmp/car/bridge", 500},
    // The mode word is the first other argument; later words stay behind it.
    {{"--watch", "--no-console", "read"}, kAll, "--watch read", true, "", 0},
    // An option's value is the argument after it, unless roslaunch added it.
    {{"--cwd", "--no-console", "write"}, kAll, "write", false, "--no-console", 0},
    {{"--cwd", "__name:=w"}, kAll, "error: --cwd needs a folder", false, "", 0},
    {{"--stale-ms", "1"}, kAll, "", false, "", 1},
    {{"--stale-ms", "3600000"}, kAll, "", false, "", 3600000},
    {{"--settle-ms", "0", "--watch"}, kAll, "--watch", false, "", 0, 0},
    {{"--settle-ms", "20"}, kAll, "", false, "", 0, 20},
    // Options a program does not accept are words of its own.
    {{"--no-console", "--cwd", "d", "5"}, kCwdOption, "--no-console 5", false, "d", 0},
    {{"--cwd", "d", "--stale-ms", "9", "x"}, kNoConsoleOption, "--cwd d --stale-ms 9 x", false, "", 0},
    // Spelled exactly: anything else is a word.
    {{"--No-Console", "--no-console=1", "-no-console", "--cwd=d"}, kAll,
     "--No-Console --no-console=1 -no-console --cwd=d", false, "", 0},
    {{"write", "--cwd"}, kAll, "error: --cwd needs a folder", false, "", 0},
    {{"--cwd", ""}, kAll, "error: --cwd needs a folder", false, "", 0},
    {{"--stale-ms"}, kAll, "error: --stale-ms needs", false, "", 0},
    {{"--stale-ms", "0"}, kAll, "error: --stale-ms needs", false, "", 0},
    {{"--stale-ms", "-5"}, kAll, "error: --stale-ms needs", false, "", 0},
    {{"--stale-ms", "500ms"}, kAll, "error: --stale-ms needs", false, "", 0},
    {{"--stale-ms", ""}, kAll, "error: --stale-ms needs", false, "", 0},
    {{"--stale-ms", "3600001"}, kAll, "error: --stale-ms needs", false, "", 0},
    {{"--stale-ms", "99999999999999999999"}, kAll, "error: --stale-ms needs", false, "", 0},
    {{"--settle-ms", "21"}, kAll, "error: --settle-ms needs", false, "", 0},
    {{"--settle-ms", "-1"}, kAll, "error: --settle-ms needs", false, "", 0},
    {{"--settle-ms"}, kAll, "error: --settle-ms needs", false, "", 0},
};

TEST(ConsoleArguments, TableOfCommandLines) {
  for (const ArgumentsRow& row : kArgumentRows) {
    std::vector<std::string> words = row.argv;
    words.insert(words.begin(), "program");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    SCOPED_TRACE(testing::PrintToString(row.argv));
    ConsoleArguments args;
    const char* error = takeConsoleArguments(&argc, argv.data(), row.accepted, &args);
    std::string left;
    if (error != nullptr) {
      left = std::string("error: ") + error;
      EXPECT_EQ(0u, left.find(row.left)) << left;
      continue;
    }
    for (int k = 1; k < argc; ++k) left += (k > 1 ? " " : "") + std::string(argv[k]);
    EXPECT_EQ(row.left, left);
    EXPECT_EQ(nullptr, argv[argc]);
    EXPECT_EQ(row.noConsole, args.noConsole);
    EXPECT_EQ(row.cwd, std::string(args.cwd ? args.cwd : ""));
    EXPECT_EQ(row.staleMs, args.staleMs);
    EXPECT_EQ(row.settleMs, args.settleMs);
  }
}

}  // namespace
