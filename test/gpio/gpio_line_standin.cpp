// Line 397 on the sysfs GPIO stand-in; see gpio_line.h.
#include "gpio_line.h"

#include "gpio_board.h"
#include "process.h"

namespace {

// The stand-in; started and stopped by the test's own thread.
Child g_sim;

}  // namespace

bool setUpLineBoard(std::string* error) { return startGpioBoard(&g_sim, error); }

void tearDownLineBoard() { stopGpioBoard(&g_sim); }

bool setLineLevel(int level) {
  return gpioBoard("wave 397 const " + std::to_string(level)).compare(0, 9, "ok start=") == 0;
}

int lineLevel() {
  const std::string state = gpioBoard("state 397");
  const long long shown = gpioBoardNumber(state, " value=");
  const long long activeLow = gpioBoardNumber(state, " active_low=");
  return shown < 0 || activeLow < 0 ? -1 : static_cast<int>(shown ^ activeLow);
}
