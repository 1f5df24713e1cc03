// The board under the GPIO library and pin holder tests that run on both:
// the sysfs GPIO stand-in (gpio_line_standin.cpp) or the kernel's own
// sysfs GPIO with gpio-mockup's line 397 (test/kernel/gpio_line_kernel.cpp).
// Only how a level is set and seen differs between them.
#pragma once

#include <string>

// Brings the board up with line 397 unexported and its input pulled low;
// false and *error when it cannot.
bool setUpLineBoard(std::string* error);
void tearDownLineBoard();

// Pulls line 397 high or low: the level it reads as an input.
bool setLineLevel(int level);

// The level line 397 carries (an output's driven level), -1 when unknown.
int lineLevel();
