// The command-line rules the console programs share: arguments that
// roslaunch adds (NAME:=VALUE) are ignored, and the options that let a
// program run without a console (--no-console), in a folder of its own
// (--cwd DIR), with a freshness bound on its command files (--stale-ms MS)
// or with a quiet time before it reads them (--settle-ms MS) are taken out
// of argv, leaving the program's own arguments in order.
#ifndef PELMORA_CONSOLE_ARGUMENTS_H
#define PELMORA_CONSOLE_ARGUMENTS_H

// The options a program accepts; any other stays an argument of its own.
const int kNoConsoleOption = 1;
const int kCwdOption = 2;
const int kStaleOption = 4;
const int kSettleOption = 8;

// The longest quiet time --settle-ms takes: a steady stream of writes is
// read at least this often anyway.
const int kMaxSettleMs = 20;

struct ConsoleArguments {
  bool noConsole;   // --no-console: standard input is never read
  const char* cwd;  // --cwd DIR, or NULL
  int staleMs;      // --stale-ms MS, or 0
  int settleMs;     // --settle-ms MS, or -1
};

// True for NAME:=VALUE: roslaunch's __name:= and __log:=, and remappings.
bool isRosArgument(const char* arg);

// Takes the ROS arguments and the accepted options out of argv[1..], left
// to right (an option's value is the argument after it, unless that is
// empty or a ROS argument),
// into *args. Returns NULL, or what is wrong with them (argv then partly
// taken apart).
const char* takeConsoleArguments(int* argc, char** argv, int accepted, ConsoleArguments* args);

#endif
