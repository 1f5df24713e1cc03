// The command-file reader: any file content gives the integer a "%d" read
// would take from its start (saturated), or no value at all.
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>

#include "bridge_logic.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  int value = 777;
  bool got = parseCommandText(text, size, &value);

  size_t i = 0;
  while (i < size && isspace(static_cast<unsigned char>(text[i]))) ++i;
  size_t end = i;
  if (end < size && (text[end] == '+' || text[end] == '-')) ++end;
  while (end < size && text[end] >= '0' && text[end] <= '9') ++end;
  long long expected = 0;
  bool isInteger = referenceInteger(text + i, end - i, &expected);
  FUZZ_CHECK(got == isInteger);
  if (got) FUZZ_CHECK(value == expected);
  else FUZZ_CHECK(value == 777);
  return 0;
}
