// Reading of blank-separated tokens and decimal numbers: bounded from a stream, whole from a text.
#ifndef TRAXEL_TOKENS_H
#define TRAXEL_TOKENS_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// True for the white space between tokens of the configuration file, for the
// feed and the daemon alike, and of the sample lines: the C locale's blanks
// and the NUL byte, which a terminated buffer could not hold inside a token.
bool is_blank(int c);

// The tokens of text, whole and in order: its runs of characters that are
// not is_blank.
std::vector<std::string> split_tokens(const std::string &text);

// Skips white space, then reads a token whole and stores its first size - 1
// characters, terminated, in buf; the rest of a longer token is dropped, so
// the next read starts at the next token. Returns false, buf unchanged, when
// f ends or fails before a token.
bool read_token(FILE *f, char *buf, std::size_t size);

// Skips white space, then reads a decimal integer with an optional sign into
// *out. Returns false, *out unchanged, when no digit follows (a sign is
// consumed, the character that stopped the number stays unread) or when the
// value does not fit an int (its digits are consumed).
bool read_int(FILE *f, int *out);

// Reads the characters of word from the current position, without skipping
// white space. Returns true when all of them matched; the first character
// that did not match stays unread.
bool read_word(FILE *f, const char *word);

#endif
