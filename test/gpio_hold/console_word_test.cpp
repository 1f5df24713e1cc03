// The pin holder's console decisions.
#include <gtest/gtest.h>

#include "console_word.h"

namespace {

TEST(GpioHoldConsole, ZeroInAnySpellingReleases) {
  for (const char* word : {"0", "-0", "+0", "000", "00000000000000000000000"}) {
    EXPECT_EQ(kConsoleRelease, judgeConsoleWord(word)) << word;
  }
}

TEST(GpioHoldConsole, AnyOtherIntegerHolds) {
  for (const char* word : {"5", "-3", "+1", "007", "2147483647", "-2147483648",
                           // Beyond int: still not zero, even where a 32-bit
                           // conversion would wrap to 0.
                           "4294967296", "99999999999999999999", "-4294967296"}) {
    EXPECT_EQ(kConsoleHold, judgeConsoleWord(word)) << word;
  }
}

TEST(GpioHoldConsole, TextThatIsNotAnIntegerIsDiscarded) {
  for (const char* word : {"abc", "-", "+", "0x0", "0abc", "1.5", "--1", "1-", "q"}) {
    EXPECT_EQ(kConsoleNotInteger, judgeConsoleWord(word)) << word;
  }
}

TEST(GpioHoldConsole, DiscardMessageIsOneShortLine) {
  EXPECT_EQ("gpio_hold: not an integer, ignored: abc", discardedWordMessage("abc"));
  const std::string message = discardedWordMessage(std::string(5000, 'x'));
  EXPECT_LT(message.size(), 80u);
  EXPECT_EQ(std::string::npos, message.find('\n'));
}

}  // namespace
