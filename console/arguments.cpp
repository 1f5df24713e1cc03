// The console programs' command-line rules; see arguments.h.
#include "arguments.h"

#include <string.h>

// Longest freshness bound accepted: an hour is no bound at all any more.
static const long kMaxStaleMs = 3600L * 1000;

bool isRosArgument(const char* arg) { return strstr(arg, ":=") != NULL; }

// A whole decimal number of milliseconds from 1 to kMaxStaleMs; 0 otherwise.
static int parseMs(const char* text) {
  long value = 0;
  if (*text == '\0') return 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    value = value * 10 + (*c - '0');
    if (value > kMaxStaleMs) return 0;
  }
  return static_cast<int>(value);
}

const char* takeConsoleArguments(int* argc, char** argv, int accepted, ConsoleArguments* args) {
  args->noConsole = false;
  args->cwd = NULL;
  args->staleMs = 0;
  int kept = 1;
  for (int k = 1; k < *argc; ++k) {
    const char* arg = argv[k];
    // roslaunch appends its own arguments: none of them is an option's value.
    const bool hasValue = k + 1 < *argc && argv[k + 1][0] != '\0' && !isRosArgument(argv[k + 1]);
    if (isRosArgument(arg)) continue;
    if ((accepted & kNoConsoleOption) != 0 && strcmp(arg, "--no-console") == 0) {
      args->noConsole = true;
    } else if ((accepted & kCwdOption) != 0 && strcmp(arg, "--cwd") == 0) {
      if (!hasValue) return "--cwd needs a folder";
      args->cwd = argv[++k];
    } else if ((accepted & kStaleOption) != 0 && strcmp(arg, "--stale-ms") == 0) {
      args->staleMs = hasValue ? parseMs(argv[k + 1]) : 0;
      if (args->staleMs == 0) return "--stale-ms needs a whole number of milliseconds from 1 to 3600000";
      ++k;
    } else {
      argv[kept++] = argv[k];
    }
  }
  for (int k = kept; k < *argc; ++k) argv[k] = NULL;
  *argc = kept;
  return NULL;
}
