// The console rule: read word by word, every word of any byte stream gives
// what a plain reference reading of its leading sign and digits gives, and
// every read consumes input until the end; read whole, by one "%d"
// conversion, the stream gives the reference reading of its start.
#include <stddef.h>
#include <stdint.h>

#include "console_stream.h"
#include "fuzz_check.h"

namespace {

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// The integer that an optional sign and then digits from p[begin] stand
// for, saturated to the int range; false without a digit. *end is where
// the digits stop.
bool referenceInteger(const uint8_t* p, size_t begin, size_t n, long long* value, size_t* end) {
  size_t i = begin;
  bool negative = false;
  if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  long long v = 0;
  size_t digits = 0;
  for (; i < n && isDigit(p[i]); ++i, ++digits) {
    if (v < 10000000000LL) v = v * 10 + (p[i] - '0');
  }
  *end = i;
  if (digits == 0) return false;
  if (negative) v = -v;
  if (v > 2147483647LL) v = 2147483647LL;
  if (v < -2147483648LL) v = -2147483648LL;
  *value = v;
  return true;
}

void checkWords(const uint8_t* data, size_t size) {
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
      return;
    }
    // No spinning: the whole word and at most the one blank after it.
    FUZZ_CHECK(stream.pos > before);
    FUZZ_CHECK(stream.pos == end || stream.pos == end + 1);
    long long expected = 0;
    size_t stop = 0;
    bool isNumber = referenceInteger(data, word, end, &expected, &stop);
    FUZZ_CHECK((verdict == kConsoleNumber) == isNumber);
    FUZZ_CHECK(isNumber ? value == expected : value == 12345);
  }
}

void checkWhole(const uint8_t* data, size_t size) {
  size_t start = 0;
  while (start < size && isSpace(data[start])) ++start;
  long long expected = 0;
  size_t stop = 0;
  bool isNumber = referenceInteger(data, start, size, &expected, &stop);
  FuzzStream stream = {data, size, 0};
  int value = 12345;
  int after = kConsoleEnd;
  FUZZ_CHECK((readDecimal(fuzzNextByte, &stream, &value, &after) == kConsoleNumber) == isNumber);
  FUZZ_CHECK(isNumber ? value == expected : value == 12345);
  // Every digit is consumed, and nothing past the byte that ended them.
  FUZZ_CHECK(!isNumber || stream.pos == (stop < size ? stop + 1 : size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkWords(data, size);
  checkWhole(data, size);
  return 0;
}
