// Bounded reading of blank-separated tokens and decimal numbers from a stream.
#ifndef TRAXEL_TOKENS_H
#define TRAXEL_TOKENS_H

#include <cstddef>
#include <cstdio>

// True for the white space of everything the feed reads, the configuration
// and the sample lines alike: the C locale's blanks and the NUL byte, which a
// terminated buffer could not hold inside a token.
bool is_blank(int c);

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
