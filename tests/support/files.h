// Temporary directories and files for tests.
#ifndef TRAXEL_TEST_FILES_H
#define TRAXEL_TEST_FILES_H

#include <string>

// A fresh empty directory for a test, removed with all it holds when the
// test program ends.
std::string temp_dir();

// Writes text into the file at path; throws std::runtime_error when it cannot.
void write_file(const std::string &path, const std::string &text);

#endif
