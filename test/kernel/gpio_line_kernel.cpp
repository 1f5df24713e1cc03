// Line 397 from gpio-mockup on the kernel's sysfs GPIO; see gpio_line.h.
#include "gpio_line.h"

#include <unistd.h>

#include "kernel_board.h"

namespace {

const char kLine[] = "/sys/class/gpio/gpio397";

// A line left exported by a test before is released.
void release() {
  if (access(kLine, F_OK) == 0) writeText("/sys/class/gpio/unexport", "397");
}

}  // namespace

bool setUpLineBoard(std::string* error) {
  release();
  if (setMockupLine(0)) return true;
  if (error) *error = "cannot set gpio-mockup's line 397";
  return false;
}

void tearDownLineBoard() { release(); }

bool setLineLevel(int level) { return setMockupLine(level); }

int lineLevel() { return mockupLine(); }
