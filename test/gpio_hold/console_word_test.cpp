// The pin holder's console reader: what each piece of console text gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_word.h"

namespace {

struct Text {
  std::string bytes;
  size_t at;
};

int nextByte(void* context) {
  Text* t = static_cast<Text*>(context);
  return t->at < t->bytes.size() ? static_cast<unsigned char>(t->bytes[t->at++]) : kConsoleEnd;
}

// Reads text to its end: a number per word, "-" for a dropped word.
std::string readAll(const std::string& bytes) {
  Text text = {bytes, 0};
  std::string got;
  int value = 0;
  for (ConsoleVerdict v; (v = readConsoleNumber(nextByte, &text, &value)) != kConsoleEnded;)
    got += (v == kConsoleNumber ? std::to_string(value) : std::string("-")) + " ";
  EXPECT_EQ(bytes.size(), text.at);
  return got;
}

TEST(GpioHoldConsole, NumbersEndAtTheFirstOtherCharacterAndTheirWordIsDropped) {
  EXPECT_EQ("0 0 0 0 0 0 0 ", readAll("0 -0 +0 00 0. 0abc 0,"));
  EXPECT_EQ("7 7 5 -3 1 ", readAll("7abc 7-0\n5+0 -3\t\t1.5"));
  EXPECT_EQ("0 ", readAll("\n\n  \v\f\r 0"));
}

TEST(GpioHoldConsole, HugeNumbersSaturateInsteadOfWrapping) {
  EXPECT_EQ("2147483647 -2147483648 2147483647 2147483647 -2147483648 0 ",
            readAll("2147483647 -2147483648 4294967296 99999999999999999999 -4294967296 "
                    "00000000000000000000000"));
}

TEST(GpioHoldConsole, WordsNotStartingWithANumberAreDroppedWhole) {
  EXPECT_EQ("- - - - - 4 ", readAll("abc -x + - x0 4"));
  EXPECT_EQ(std::string(""), readAll(""));
  EXPECT_EQ("- ", readAll("-"));
}

}  // namespace
