// The serial bridge's console: every word is judged exactly like a plain
// reference reading of an optionally signed decimal integer, and a number
// is 0 only when the word is a zero.
#include <stddef.h>
#include <stdint.h>

#include "bridge_logic.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  size_t i = 0;
  while (i < size) {
    while (i < size && isConsoleSpace(text[i])) ++i;
    if (i == size) break;
    size_t start = i;
    ConsoleWord word;
    consoleWordReset(&word);
    while (i < size && !isConsoleSpace(text[i])) consoleWordAdd(&word, text[i++]);
    int value = 12345;
    ConsoleVerdict verdict = consoleWordVerdict(word, &value);
    long long expected = 0;
    bool isInteger = referenceInteger(text + start, i - start, &expected);
    FUZZ_CHECK((verdict == kConsoleNumber) == isInteger);
    if (isInteger) FUZZ_CHECK(value == expected);
  }
  return 0;
}
