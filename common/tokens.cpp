// Reading of blank-separated tokens and decimal numbers: bounded from a stream, whole from a text.
#include "tokens.h"

#include <cctype>
#include <climits>

namespace {

// Consumes white space; the first other character stays unread.
void skip_blanks(FILE *f)
{
    int c;
    while ((c = std::fgetc(f)) != EOF && is_blank(c))
        ;
    if (c != EOF)
        std::ungetc(c, f);
}

// A decimal digit in any locale.
bool is_digit(int c) { return c >= '0' && c <= '9'; }

}  // namespace

bool is_blank(int c) { return c == '\0' || std::isspace(c); }

std::vector<std::string> split_tokens(const std::string &text)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    for (;;) {
        while (i < text.size() && is_blank(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == text.size())
            return out;
        std::size_t j = i;
        while (j < text.size() && !is_blank(static_cast<unsigned char>(text[j])))
            ++j;
        out.push_back(text.substr(i, j - i));
        i = j;
    }
}

bool read_token(FILE *f, char *buf, std::size_t size)
{
    skip_blanks(f);
    // A 39-character IPv6 address in a 20-character field: the field keeps
    // its first 19, and the reading stays in step with the file's tokens.
    std::size_t n = 0, kept = 0;
    for (int c; (c = std::fgetc(f)) != EOF; ++n) {
        if (is_blank(c)) {  // the blank belongs to what comes next
            std::ungetc(c, f);
            break;
        }
        if (kept + 1 < size)
            buf[kept++] = static_cast<char>(c);
    }
    if (n == 0)
        return false;
    buf[kept] = '\0';
    return true;
}

bool read_int(FILE *f, int *out)
{
    skip_blanks(f);
    int c = std::fgetc(f);
    const bool neg = c == '-';
    if (c == '+' || c == '-')
        c = std::fgetc(f);
    if (!is_digit(c)) {
        if (c != EOF)
            std::ungetc(c, f);
        return false;
    }
    // Accumulate toward the negative side, which holds INT_MIN.
    long long v = 0;
    bool fits = true;
    for (; is_digit(c); c = std::fgetc(f)) {
        if (fits) {
            v = v * 10 - (c - '0');
            fits = v >= static_cast<long long>(INT_MIN);
        }
    }
    if (c != EOF)
        std::ungetc(c, f);
    if (!neg) {
        v = -v;
        fits = fits && v <= INT_MAX;
    }
    if (!fits)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool read_word(FILE *f, const char *word)
{
    for (; *word != '\0'; ++word) {
        int c = std::fgetc(f);
        if (c != static_cast<unsigned char>(*word)) {
            if (c != EOF)
                std::ungetc(c, f);
            return false;
        }
    }
    return true;
}
