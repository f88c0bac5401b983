// Fuzzes the feed's loading of a graph record from the configuration file.
// The input's first line is the graph name, the rest the file.
#include "contract.h"
#include "read_cfg.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Counts the lines of text; false when its last character is not a newline.
bool whole_lines(const char *text, size_t size, int &lines)
{
    lines = 0;
    for (size_t i = 0; i < size; ++i)
        lines += text[i] == '\n';
    return size > 0 && text[size - 1] == '\n';
}

// Opens the configuration text for reading; fmemopen refuses an empty buffer.
FILE *open_text(std::string &text)
{
    return text.empty() ? std::tmpfile() : fmemopen(text.data(), text.size(), "r");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string in(reinterpret_cast<const char *>(data), size);
    const size_t eol = in.find('\n');
    if (eol == std::string::npos || eol > 12 || in.find('\0') < eol)
        return 0;
    const std::string name = in.substr(0, eol);
    std::string text = in.substr(eol + 1);

    // The loaded values are process-wide; every run starts from zero.
    win = min = max = thres = port = proto = 0;
    net[0] = netm[0] = ip[0] = '\0';
    FILE *cfg = open_text(text);
    char *msg = nullptr;
    size_t msg_size = 0;
    FILE *out = open_memstream(&msg, &msg_size);
    if (cfg == nullptr || out == nullptr)
        __builtin_trap();
    const int status = read_cfg_from(cfg, name.c_str(), out);
    std::fclose(cfg);
    std::fclose(out);

    // Found: a usable window and terminated address fields, and silence.
    // Not found: exactly one line for the client.
    int lines = 0;
    const bool ended = whole_lines(msg, msg_size, lines);
    if (status == 0 && (win < win_min || win > feed_win_max || msg_size != 0 || strnlen(net, addr_size) == addr_size ||
                        strnlen(netm, addr_size) == addr_size || strnlen(ip, addr_size) == addr_size))
        __builtin_trap();
    if (status == 1 && (!ended || lines != 1))
        __builtin_trap();
    if (status != 0 && status != 1)
        __builtin_trap();
    std::free(msg);
    return 0;
}
