// Decoding of URL-encoded CGI input.
#ifndef TRAXEL_UTIL_H
#define TRAXEL_UTIL_H

#include <cstdio>

// The design limit of a query or form body: the entries a program decodes
// it into.
inline constexpr int max_entries = 10000;

// Moves the text of line before the first stop (or all of it) into word and
// removes it, and the stop, from the front of line. word must have room for
// the copied text.
void getword(char *word, char *line, char stop);

// The same split as getword, the word in a new malloc'd block owned by the
// caller (sized to line's length before the split plus 1).
char *makeword(char *line, char stop);

// Reads a word from f up to stop (dropped), the end of f, or until *cl, the
// count of bytes still to read, reaches 0; counts *cl down once per byte
// read. A read that meets the end of f stores nothing. Returns a new malloc'd
// word owned by the caller.
char *fmakeword(FILE *f, char stop, int *cl);

// The character whose two hexadecimal digits start what; no validation.
char x2c(const char *what);

// Decodes %XX escapes in place; a "%" without two characters after it stays.
void unescape_url(char *url);

// Turns every '+' into a blank, in place.
void plustospace(char *str);

// Index of the first (ind) or last (rind) c in s, or -1.
int ind(const char *s, char c);
int rind(const char *s, char c);

// Reads a line of at most n - 1 characters into s, dropping a carriage return
// and ending at a line feed, the byte 4 or the end of f. Returns 1 when f is
// at its end afterwards, else 0.
int getline(char *s, int n, FILE *f);

// Copies f to fd until f reports its end.
void send_fd(FILE *f, FILE *fd);

// Puts a backslash before every shell metacharacter of cmd, in place; cmd
// must have room for the added characters.
void escape_shell_cmd(char *cmd);

#endif
