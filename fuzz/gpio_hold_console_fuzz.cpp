// The pin holder's console: every read consumes input until the end, and
// each word gives exactly what a reference "%d" reading of its start gives.
#include <stddef.h>
#include <stdint.h>

#include "console_word.h"
#include "fuzz_check.h"

namespace {

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

static_assert(kConsoleEnd == -1, "fuzzNextByte ends with -1");

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzStream stream = {data, size, 0};
  for (;;) {
    const size_t before = stream.pos;
    size_t word = before;
    while (word < size && isSpace(data[word])) ++word;
    size_t end = word;
    while (end < size && !isSpace(data[end])) ++end;
    int value = 12345;
    ConsoleVerdict verdict = readConsoleNumber(fuzzNextByte, &stream, &value);
    if (verdict == kConsoleEnded) {
      FUZZ_CHECK(word == size);
      FUZZ_CHECK(stream.pos == size);
      break;
    }
    // No spinning: the whole word and at most the one blank after it.
    FUZZ_CHECK(stream.pos > before);
    FUZZ_CHECK(stream.pos == end || stream.pos == end + 1);
    // The number is the word's leading sign and digits.
    size_t digits = word;
    if (digits < end && (data[digits] == '+' || data[digits] == '-')) ++digits;
    size_t stop = digits;
    while (stop < end && isDigit(data[stop])) ++stop;
    long long expected = 0;
    bool isNumber = referenceInteger(reinterpret_cast<const char*>(data) + word, stop - word, &expected);
    FUZZ_CHECK((verdict == kConsoleNumber) == isNumber);
    if (isNumber) FUZZ_CHECK(value == expected);
  }
  return 0;
}
