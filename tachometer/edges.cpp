// Edge mode of the tachometer node; see edges.h.
#include "edges.h"

#include <string.h>

static bool takeFlag(const char* flag, int* argc, char** argv) {
  bool found = false;
  int kept = 1;
  for (int k = 1; k < *argc; ++k) {
    if (strcmp(argv[k], flag) == 0) {
      found = true;
    } else {
      argv[kept++] = argv[k];
    }
  }
  for (int k = kept; k < *argc; ++k) argv[k] = NULL;
  *argc = kept;
  return found;
}

bool takeEdgesFlag(int* argc, char** argv) { return takeFlag("--edges", argc, argv); }

bool takeEventsFlag(int* argc, char** argv) { return takeFlag("--events", argc, argv); }

bool parseEdgeSetting(const char* text, size_t length, char* setting) {
  static const char* const kKeywords[] = {"none", "rising", "falling", "both"};
  if (length > 0 && text[length - 1] == '\n') --length;
  for (size_t k = 0; k < sizeof kKeywords / sizeof kKeywords[0]; ++k) {
    if (length == strlen(kKeywords[k]) && strncmp(text, kKeywords[k], length) == 0) {
      strcpy(setting, kKeywords[k]);
      return true;
    }
  }
  return false;
}
