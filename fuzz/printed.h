// Collecting what the packet printers write on standard output, so that a
// fuzz target can check the shape of each printed frame.
#ifndef TRAXEL_FUZZ_PRINTED_H
#define TRAXEL_FUZZ_PRINTED_H

#include <string>

// Points standard output at an in-memory file for the rest of the process;
// call once, before any output. Traps when that cannot be done.
void collect_stdout();

// Forgets what was printed so far.
void printed_reset();

// Everything printed on standard output since the last printed_reset.
std::string printed();

#endif
