// Reading a small text file whole, its numbers and its key lines, for the daemon's configuration and settings.
#ifndef TRAXEL_READFILE_H
#define TRAXEL_READFILE_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Reads the file at path into text. False with err ("PATH: reason", "PATH:
// larger than MAX bytes", "PATH: read error") when it cannot or it holds more
// than max bytes; with missing_ok a file that does not exist reads as empty.
bool read_whole(const char *path, std::size_t max, bool missing_ok, std::string &text, std::string &err);

// Whether tok is a whole decimal integer within [lo, hi] (int range at most);
// sets out to it when it is, else leaves out unchanged.
bool whole_number(const std::string &tok, long lo, long hi, int &out);

// Reads the key file at path, at most max bytes, where a missing file reads
// as empty: one key and its values a line, blank-separated, '#' starting a
// comment. Calls key with the tokens and the number of each line that holds
// any; it answers why the line cannot be taken, or "". False when any line
// could not, with one line for each in err, "PATH:LINE: why" (joined by
// newlines), or with read_whole's line.
bool read_key_lines(const char *path, std::size_t max,
                    const std::function<std::string(const std::vector<std::string> &, int)> &key, std::string &err);

#endif
