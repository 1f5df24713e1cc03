// The pin holder's console: a word releases the line only when it is an
// integer equal to 0, holds it for any other integer, and anything else is
// discarded with a bounded message.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "console_word.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string word(reinterpret_cast<const char*>(data), size);
  ConsoleVerdict verdict = judgeConsoleWord(word);
  long long value = 0;
  bool isInteger = referenceInteger(word.data(), word.size(), &value);
  if (!isInteger) {
    FUZZ_CHECK(verdict == kConsoleNotInteger);
    FUZZ_CHECK(discardedWordMessage(word).size() < 200);
  } else {
    FUZZ_CHECK(verdict == (value == 0 ? kConsoleRelease : kConsoleHold));
  }
  return 0;
}
