// The console programs' command-line rules; see arguments.h.
#include "arguments.h"

#include <string.h>

// Longest freshness bound accepted: an hour is no bound at all any more.
static const long kMaxStaleMs = 3600L * 1000;

bool isRosArgument(const char* arg) { return strstr(arg, ":=") != NULL; }

// A whole decimal number of milliseconds up to kMaxStaleMs; -1 otherwise.
static long parseMs(const char* text) {
  long value = 0;
  if (*text == '\0') return -1;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return -1;
    value = value * 10 + (*c - '0');
    if (value > kMaxStaleMs) return -1;
  }
  return value;
}

const char* takeConsoleArguments(int* argc, char** argv, int accepted, ConsoleArguments* args) {
  args->noConsole = false;
  args->cwd = NULL;
  args->staleMs = 0;
  args->settleMs = -1;
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
      const long ms = hasValue ? parseMs(argv[++k]) : -1;
      if (ms < 1) return "--stale-ms needs a whole number of milliseconds from 1 to 3600000";
      args->staleMs = static_cast<int>(ms);
    } else if ((accepted & kSettleOption) != 0 && strcmp(arg, "--settle-ms") == 0) {
      const long ms = hasValue ? parseMs(argv[++k]) : -1;
      if (ms < 0 || ms > kMaxSettleMs) return "--settle-ms needs a whole number of milliseconds from 0 to 20";
      args->settleMs = static_cast<int>(ms);
    } else {
      argv[kept++] = argv[k];
    }
  }
  for (int k = kept; k < *argc; ++k) argv[k] = NULL;
  *argc = kept;
  return NULL;
}
