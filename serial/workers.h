// The bridge's two worker threads. main starts one of them with the run
// flag's address (a std::atomic<int>) and joins it once the flag is 0.
#ifndef PELMORA_SERIAL_WORKERS_H
#define PELMORA_SERIAL_WORKERS_H

// Tachometer reader: prints every non-zero byte of /dev/ttyACM1.
void* sread(void* arg);

// Command writer: forwards the command files to /dev/ttyACM0, framed by the
// neutral command.
void* swrite(void* arg);

// The same writer, sleeping between passes until a command file changes
// (at most 100 ms), the line needs it or the stop comes; it reads the files
// once they have been quiet for the settle time.
void* swatch(void* arg);

// Sets swatch's settle time in ms (0: read at the first change) before it
// starts.
void setSettleTime(int ms);

#endif
