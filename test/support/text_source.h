// A string as the console readers' byte source, for their unit tests.
#pragma once

#include <string>

#include "console.h"

struct TextSource {
  std::string text;
  size_t at = 0;
};

// The next byte of the text (context is a TextSource), kConsoleEnd once
// all of it is read.
inline int nextFromText(void* context) {
  TextSource* source = static_cast<TextSource*>(context);
  if (source->at >= source->text.size()) return kConsoleEnd;
  return static_cast<unsigned char>(source->text[source->at++]);
}
