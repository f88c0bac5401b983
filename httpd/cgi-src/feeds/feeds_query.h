// Decoding of the query of the multiplexed feed: the history length and the page's graphs.
#ifndef TRAXEL_FEEDS_QUERY_H
#define TRAXEL_FEEDS_QUERY_H

#include <cstddef>
#include <string>
#include <vector>

// The longest query accepted: 256 names of 12 characters, their commas or
// escapes and the history length fit well below it.
inline constexpr std::size_t max_feeds_query = 8192;

// The largest history length in seconds: nine digits, so the feed's own
// query "dhle,60,<k>s" always holds an int.
inline constexpr int max_history = 999999999;

// A decoded request: k seconds of history for each graph, in the order asked.
struct feeds_request {
    int k = -1;
    std::vector<std::string> graphs;
};

// Decodes qs, "k=<seconds>&g=<name>[,<name>...]" with g repeatable and every
// field URL-encoded, into req. Returns false with why (one sentence, no
// newline) when qs is longer than max_feeds_query, holds a field other than
// one k and the g fields, a k that is not 0 to max_history, no graph or more
// than graphs_per_connection, a name that is not 1 to 12 letters, digits, '.', '_'
// or '-', or one graph twice.
bool decode_feeds_query(const char *qs, feeds_request &req, std::string &why);

#endif
