// Decoding of URL-encoded CGI input.
#include "util.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// A form routine cannot report an error to its caller; running out of memory
// ends the CGI process instead of handing it a null word.
void *xrealloc(void *p, size_t size)
{
    void *q = std::realloc(p, size);
    if (q == nullptr) {
        std::fputs("out of memory\n", stderr);
        std::exit(1);
    }
    return q;
}

constexpr size_t word_step = 102400;

}  // namespace

void getword(char *word, char *line, char stop)
{
    size_t x = 0;
    for (; line[x] != '\0' && line[x] != stop; ++x)
        word[x] = line[x];
    word[x] = '\0';
    if (line[x] != '\0')
        ++x;
    std::memmove(line, line + x, std::strlen(line + x) + 1);
}

char *makeword(char *line, char stop)
{
    char *word = static_cast<char *>(xrealloc(nullptr, std::strlen(line) + 1));
    getword(word, line, stop);
    return word;
}

char *fmakeword(FILE *f, char stop, int *cl)
{
    size_t wsize = word_step;
    size_t ll = 0;
    char *word = static_cast<char *>(xrealloc(nullptr, wsize + 1));

    for (;;) {
        int c = std::fgetc(f);
        if (*cl > INT_MIN)  // a negative count never reaches 0 anyway
            --*cl;
        if (c == EOF)  // nothing was read: store no end-of-stream byte
            break;
        word[ll] = static_cast<char>(c);
        if (ll == wsize) {
            wsize += word_step;
            word = static_cast<char *>(xrealloc(word, wsize + 1));
        }
        if (word[ll] == stop)
            break;
        ++ll;
        if (std::feof(f) || *cl == 0)
            break;
    }
    word[ll] = '\0';
    return static_cast<char *>(xrealloc(word, ll + 1));
}

char x2c(const char *what)
{
    auto digit = [](signed char c) {
        return c >= 'A' ? ((c & 0xdf) - 'A') + 10 : c - '0';
    };
    int v = digit(static_cast<signed char>(what[0])) * 16 + digit(static_cast<signed char>(what[1]));
    return static_cast<char>(static_cast<unsigned char>(v & 0xff));
}

void unescape_url(char *url)
{
    size_t x = 0, y = 0;
    for (; url[y] != '\0'; ++x, ++y) {
        url[x] = url[y];
        if (url[x] == '%' && url[y + 1] != '\0' && url[y + 2] != '\0') {
            url[x] = x2c(&url[y + 1]);
            y += 2;
        }
    }
    url[x] = '\0';
}

void plustospace(char *str)
{
    for (; *str != '\0'; ++str)
        if (*str == '+')
            *str = ' ';
}

int ind(const char *s, char c)
{
    for (int x = 0; s[x] != '\0'; ++x)
        if (s[x] == c)
            return x;
    return -1;
}

int rind(const char *s, char c)
{
    int found = -1;
    for (int x = 0; s[x] != '\0'; ++x)
        if (s[x] == c)
            found = x;
    return found;
}

int getline(char *s, int n, FILE *f)
{
    if (n <= 0)
        return std::feof(f) ? 1 : 0;
    for (int x = 0;; ++x) {
        int c = std::fgetc(f);
        if (c == '\r')
            c = std::fgetc(f);
        if (c == EOF || c == '\n' || c == 4 || x == n - 1) {
            s[x] = '\0';
            return std::feof(f) ? 1 : 0;
        }
        s[x] = static_cast<char>(c);
    }
}

void send_fd(FILE *f, FILE *fd)
{
    int c;
    while ((c = std::fgetc(f)) != EOF)
        std::fputc(c, fd);
}

void escape_shell_cmd(char *cmd)
{
    static const char meta[] = "&;`'\"|*?~<>^()[]{}$\\\n";
    size_t l = std::strlen(cmd);
    for (size_t x = 0; cmd[x] != '\0'; ++x) {
        if (ind(meta, cmd[x]) != -1) {
            std::memmove(cmd + x + 1, cmd + x, l - x + 1);
            cmd[x] = '\\';
            ++l;
            ++x;
        }
    }
}
