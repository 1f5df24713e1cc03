// The board's devices inside test/tools/kernelboard, for tests: GPIO line 397
// from gpio-mockup (its simulated pull set through debugfs), the gadget
// ends of the two USB ACM lines, and the cable (the configfs gadget bound
// to or unbound from the dummy USB controller).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The whole content of a file, "" when it cannot be read.
std::string readText(const std::string& path);
// Writes text to a sysfs/debugfs/configfs file in one write; true on success.
bool writeText(const std::string& path, const std::string& text);

// Line 397's simulated level: sets the pull an input follows, and reads
// the level the chip sees (an output's driven level).
bool setMockupLine(int level);
int mockupLine();

// Opens a gadget end (/dev/ttyGS0 plays the drive controller, /dev/ttyGS1
// the tachometer controller) in raw mode; -1 on failure.
int openGadget(const std::string& path);
// Reads from fd until count bytes or seconds have passed.
std::vector<int> readBytes(int fd, size_t count, double seconds);
bool writeBytes(int fd, const std::vector<int>& bytes);

// True once pid has hostPath open and the line is raw (no echo, no line
// editing), so bytes sent now arrive as sent; bounded by seconds.
bool waitHostRaw(const std::string& hostPath, pid_t pid, double seconds);

// The cable: unbinding the gadget is an unplug for cdc_acm, binding it
// again a plug; plugCable waits (bounded) for both host ttys to be back.
bool unplugCable();
bool plugCable();
