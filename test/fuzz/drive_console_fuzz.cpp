// The drive command console: any byte stream must end in kInputEnded after
// a bounded number of passes, each pass consuming input, with the fields
// holding only what the stream gave them.
#include <stddef.h>
#include <stdint.h>

#include "console_protocol.h"
#include "console_stream.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzStream stream = {data, size, 0};
  CommandInput in = commandInput(fuzzNextByte, &stream);
  DriveState state;
  initDriveState(&state);
  size_t passes = 0;
  // A held byte has been read from the stream but not yet used.
  auto consumed = [&] { return stream.pos - (in.held != kNothingHeld ? 1 : 0); };
  for (;;) {
    size_t before = consumed();
    CommandEvent e = consolePass(&in, &state);
    ++passes;
    if (e == kInputEnded) {
      FUZZ_CHECK(state.run.load() == 0);
      FUZZ_CHECK(stream.pos == size);
      break;
    }
    FUZZ_CHECK(consumed() > before);
    FUZZ_CHECK(passes <= 2 * size + 2);
    // Keep reading past a stop, to reach every byte of the stream.
    state.run.store(1);
  }
  return 0;
}
