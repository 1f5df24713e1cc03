// A USB serial controller played by a pseudo-terminal: the controller keeps
// the master side, the slave side appears at the device path (a bind mount
// keeps it a real character device; a symlink is the fallback). Unplugging
// removes the entry and closes the master, as pulling the cable would.
// The controller also keeps a handle of its own on the slave side, never
// read: a host may put the line in exclusive mode, after which nobody but
// root can open it, and through that handle the controller still controls
// its flow and ends the mode once the host has closed the line (a USB
// serial tty starts afresh at its next open; a pty would keep the mode).
// So the host's opens and closes are counted from inotify, not seen as
// the master's hang-up.
#ifndef PELMORA_STANDINS_PTY_DEVICE_H
#define PELMORA_STANDINS_PTY_DEVICE_H

#include <string>
#include <vector>

struct PtyDevice {
  int master;     // the controller's side, non-blocking; -1 while unplugged
  int own;        // the controller's own handle on the host's side
  int watch;      // inotify on the host's side: its opens and closes
  int hostOpens;  // descriptors the host has open on the line
};

// Creates the pty and places its slave at path; false after printing why
// on stderr (device->master is then -1).
bool plugDevice(const char* path, PtyDevice* device);

// Removes the entry at path and closes the pty.
void unplugDevice(const char* path, PtyDevice* device);

// Reads what standard input holds and adds each whole line to *commands
// (*pending keeps a line not yet ended); false once the input has ended.
bool readCommands(std::string* pending, std::vector<std::string>* commands);

// Runs handler on SIGTERM and SIGINT: a controller unplugs itself before
// it ends.
void catchStopSignals(void (*handler)(int));

// True while some program holds the slave side open. Once none does, the
// line's exclusive mode is ended.
bool hostHasLineOpen(PtyDevice* device);

// Starts or stops the host's output on the line, as a device that stops
// taking bytes would; true when done.
bool setHostOutput(const PtyDevice& device, bool flowing);

// True once the host has put the line in non-canonical, no-echo mode.
bool hostConfiguredLine(int master);

#endif
