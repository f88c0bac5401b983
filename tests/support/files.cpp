// Temporary directories and files for tests.
#include "files.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

std::string temp_dir()
{
    // Every directory handed out goes when the test program ends, whatever
    // the daemons run in it left there.
    static struct made_dirs {
        std::vector<std::string> paths;
        ~made_dirs()
        {
            std::error_code ec;
            for (const std::string &p : paths)
                std::filesystem::remove_all(p, ec);
        }
    } made;
    char tmpl[] = "/tmp/traxel-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    made.paths.push_back(tmpl);
    return tmpl;
}

void write_file(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        throw std::runtime_error("cannot open " + path);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok)
        throw std::runtime_error("cannot write " + path);
}
