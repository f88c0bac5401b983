// The multiplexed response on its way to the client: whole lines waiting in order, each graph's share bounded.
#include "feeds_out.h"

#include <cerrno>
#include <unistd.h>

namespace {

// A buffer that grew beyond this during a burst is given back once empty, so
// that a page's steady state keeps only what a few samples need.
constexpr std::size_t keep_capacity = 64 * 1024;

}  // namespace

void out_queue::push(int g, const char *line, std::size_t n)
{
    buf_.append(line, n);
    pushed_ += n;
    if (!charges_.empty() && charges_.back().g == g)
        charges_.back().bytes += n;
    else
        charges_.push_back({g, n});
    if (g >= 0)
        pending_[static_cast<std::size_t>(g)] += n;
}

bool out_queue::flush(int fd)
{
    while (!empty()) {
        const ssize_t n = write(fd, buf_.data() + pos_, buf_.size() - pos_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0)
            return false;
        pos_ += static_cast<std::size_t>(n);
        // Release the charges of what went out, oldest first.
        std::size_t done = static_cast<std::size_t>(n);
        while (done > 0) {
            charge &c = charges_.front();
            const std::size_t take = c.bytes < done ? c.bytes : done;
            if (c.g >= 0)
                pending_[static_cast<std::size_t>(c.g)] -= take;
            c.bytes -= take;
            done -= take;
            if (c.bytes == 0)
                charges_.pop_front();
        }
    }
    compact();
    return true;
}

void out_queue::compact()
{
    if (empty()) {
        if (buf_.capacity() > keep_capacity)
            std::string().swap(buf_);
        else
            buf_.clear();
        pos_ = 0;
    } else if (pos_ > buf_.size() / 2) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
}
