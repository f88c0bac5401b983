// The multiplexed response on its way to the client: whole lines waiting in order, each graph's share bounded.
#ifndef TRAXEL_FEEDS_OUT_H
#define TRAXEL_FEEDS_OUT_H

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// Lines wait here until the client's side takes them. Each line is charged
// to its graph until it is written out, so that a graph's share can be held
// to a bound; the multiplexer's own lines are charged to no graph.
class out_queue {
public:
    // A queue for graphs 0 to graphs - 1.
    explicit out_queue(std::size_t graphs) : pending_(graphs, 0) {}

    // Appends the n bytes at line, one or more whole lines, charged to graph
    // g, or to none when g is -1.
    void push(int g, const char *line, std::size_t n);

    // Bytes of graph g that wait to be written.
    std::size_t pending(int g) const { return pending_[static_cast<std::size_t>(g)]; }

    bool empty() const { return pos_ == buf_.size(); }

    // Bytes pushed since the queue was made.
    unsigned long long pushed() const { return pushed_; }

    // Writes as much as fd takes without blocking. Returns false when the
    // write failed for another reason than a full pipe or a signal (errno
    // tells why): the client is gone.
    bool flush(int fd);

private:
    // Drops the written bytes and frees a buffer grown by a burst.
    void compact();

    std::string buf_;   // the waiting bytes start at pos_
    std::size_t pos_ = 0;
    struct charge {
        int g;
        std::size_t bytes;
    };
    std::deque<charge> charges_;  // the graph of each waiting run of bytes, in order
    std::vector<std::size_t> pending_;
    unsigned long long pushed_ = 0;
};

#endif
