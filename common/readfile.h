// Reading a small text file whole, and numbers from its tokens, for the daemon's configuration and settings.
#ifndef TRAXEL_READFILE_H
#define TRAXEL_READFILE_H

#include <cstddef>
#include <string>

// Reads the file at path into text. False with err ("PATH: reason", "PATH:
// larger than MAX bytes", "PATH: read error") when it cannot or it holds more
// than max bytes; with missing_ok a file that does not exist reads as empty.
bool read_whole(const char *path, std::size_t max, bool missing_ok, std::string &text, std::string &err);

// Whether tok is a whole decimal integer within [lo, hi] (int range at most);
// sets out to it when it is, else leaves out unchanged.
bool whole_number(const std::string &tok, long lo, long hi, int &out);

#endif
