// The file a reader under test opens by its path, holding the current fuzz input.
#ifndef TRAXEL_FUZZ_INPUT_FILE_H
#define TRAXEL_FUZZ_INPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

// Creates the in-memory file named name and returns the path a reader opens it
// by; call once. Traps when that cannot be done.
const char *input_path(const char *name);

// Replaces the file's content by the size bytes at data; traps on failure.
void input_put(const uint8_t *data, size_t size);

// Whether every line of a reader's faults err (lines joined by newlines)
// starts with head, the file's name as the reader says it, and says more.
bool named_lines(const std::string &err, const std::string &head);

#endif
