// The serial bridge's console: every word is judged exactly as "%d" reads
// it (the optionally signed digits at its start; the rest is dropped), a
// number is 0 only when those digits are zeros, and every character fed is
// taken, so the console loop always moves on.
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
    FUZZ_CHECK(static_cast<size_t>(word.length) == i - start);
    int value = 12345;
    ConsoleVerdict verdict = consoleWordVerdict(word, &value);
    // The part "%d" takes: an optional sign, then digits.
    size_t prefix = start;
    if (prefix < i && (text[prefix] == '+' || text[prefix] == '-')) ++prefix;
    while (prefix < i && text[prefix] >= '0' && text[prefix] <= '9') ++prefix;
    long long expected = 0;
    bool isInteger = referenceInteger(text + start, prefix - start, &expected);
    FUZZ_CHECK((verdict == kConsoleNumber) == isInteger);
    if (isInteger) FUZZ_CHECK(value == expected);
  }
  return 0;
}
