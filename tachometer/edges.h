// Edge mode of the tachometer node, free of I/O: its command-line flags and
// the edge file's text, kept so the line is left as it was found.
#ifndef PELMORA_TACHOMETER_EDGES_H
#define PELMORA_TACHOMETER_EDGES_H

#include <stddef.h>

// Longest wait for a change, so that a ROS shutdown is seen promptly.
const int kEdgeWaitMs = 100;

// Room for an edge keyword and its zero byte ("falling").
const size_t kEdgeSettingSize = 8;

// Removes every "--edges" from argv[1..argc-1], keeping the order of the
// rest; true when there was one.
bool takeEdgesFlag(int* argc, char** argv);
// The same for "--events".
bool takeEventsFlag(int* argc, char** argv);

// The keyword of an edge file's text ("none\n", "rising\n", "falling\n" or
// "both\n") into setting (kEdgeSettingSize); false for any other text.
bool parseEdgeSetting(const char* text, size_t length, char* setting);

#endif
