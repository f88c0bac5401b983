// In-memory streams for driving the feed's modules in tests.
#ifndef TRAXEL_TEST_MEMFILE_H
#define TRAXEL_TEST_MEMFILE_H

#include <cstdio>
#include <cstdlib>
#include <string>

// A stream to read text from, closed on destruction.
class input_file {
public:
    explicit input_file(const std::string &text) : f_(std::tmpfile())
    {
        if (f_ == nullptr || std::fwrite(text.data(), 1, text.size(), f_) != text.size() ||
            std::fseek(f_, 0, SEEK_SET) != 0)
            std::abort();
    }
    ~input_file() { std::fclose(f_); }
    input_file(const input_file &) = delete;
    input_file &operator=(const input_file &) = delete;
    FILE *get() const { return f_; }

private:
    FILE *f_;
};

// A stream that collects what is written to it.
class output_file {
public:
    output_file() : f_(open_memstream(&buf_, &size_))
    {
        if (f_ == nullptr)
            std::abort();
    }
    ~output_file()
    {
        std::fclose(f_);
        std::free(buf_);
    }
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    FILE *get() const { return f_; }
    // Everything written so far.
    std::string text()
    {
        std::fflush(f_);
        return std::string(buf_, size_);
    }

private:
    char *buf_ = nullptr;
    size_t size_ = 0;
    FILE *f_;
};

#endif
