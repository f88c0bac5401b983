// The file a reader under test opens by its path, holding the current fuzz input.
#ifndef TRAXEL_FUZZ_INPUT_FILE_H
#define TRAXEL_FUZZ_INPUT_FILE_H

#include <cstddef>
#include <cstdint>

// Creates the in-memory file named name and returns the path a reader opens it
// by; call once. Traps when that cannot be done.
const char *input_file(const char *name);

// Replaces the file's content by the size bytes at data; traps on failure.
void input_file_put(const uint8_t *data, size_t size);

#endif
