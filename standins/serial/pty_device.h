// A USB serial controller played by a pseudo-terminal: the controller keeps
// the master side, the slave side appears at the device path (a bind mount
// keeps it a real character device; a symlink is the fallback). Unplugging
// removes the entry and closes the master, as pulling the cable would.
#ifndef PELMORA_STANDINS_PTY_DEVICE_H
#define PELMORA_STANDINS_PTY_DEVICE_H

#include <string>
#include <vector>

// Creates the pty and places its slave at path. Returns the master
// descriptor (non-blocking), or -1 after printing why on stderr.
int plugDevice(const char* path);

// Removes the entry at path and closes master.
void unplugDevice(const char* path, int master);

// Reads what standard input holds and adds each whole line to *commands
// (*pending keeps a line not yet ended); false once the input has ended.
bool readCommands(std::string* pending, std::vector<std::string>* commands);

// Runs handler on SIGTERM and SIGINT: a controller unplugs itself before
// it ends.
void catchStopSignals(void (*handler)(int));

// True while some program holds the slave side open.
bool hostHasLineOpen(int master);

// True once the host has put the line in non-canonical, no-echo mode.
bool hostConfiguredLine(int master);

#endif
