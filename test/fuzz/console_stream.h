// The fuzzer's input as a console byte source.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "console.h"

struct FuzzStream {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

inline int fuzzNextByte(void* context) {
  FuzzStream* s = static_cast<FuzzStream*>(context);
  return s->pos < s->size ? s->data[s->pos++] : kConsoleEnd;
}
