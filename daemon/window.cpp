// The samples of every graph's last window, kept across the daemon's intervals and published each interval for the graphs page.
#include "window.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr char no_sample[] = "null,";

}  // namespace

std::size_t window_slots(int win, std::size_t n)
{
    const std::size_t whole = static_cast<std::size_t>(std::max(win, 1)) * samples_per_minute;
    return std::max<std::size_t>(1, std::min(whole, window_samples_max / std::max<std::size_t>(n, 1)));
}

sample_window::sample_window(std::size_t graphs, std::size_t slots)
    : slots_(std::max<std::size_t>(slots, 1)), graphs_(graphs)
{
}

void sample_window::push(values_text &v, const char *piece, std::size_t len)
{
    v.text.append(piece, len);
    v.lens.push_back(static_cast<uint8_t>(len));
}

void sample_window::drop_oldest()
{
    for (values_text &v : graphs_) {
        v.text.erase(0, v.lens.front());
        v.lens.pop_front();
    }
    --held_;
}

void sample_window::drop_latest()
{
    for (values_text &v : graphs_) {
        v.text.resize(v.text.size() - v.lens.back());
        v.lens.pop_back();
    }
    --held_;
    last_ -= sample_interval;
}

void sample_window::add(int64_t t, const std::vector<std::optional<int>> &values)
{
    while (held_ > 0 && t <= last_)
        drop_latest();
    if (held_ > 0) {
        // Only the last slots_ times can still be held.
        const int64_t skipped = std::min<int64_t>((t - last_) / sample_interval - 1, static_cast<int64_t>(slots_));
        for (int64_t i = 0; i < skipped; ++i) {
            for (values_text &v : graphs_)
                push(v, no_sample, sizeof no_sample - 1);
            if (++held_ > slots_)
                drop_oldest();
        }
    }
    for (std::size_t i = 0; i < graphs_.size(); ++i) {
        if (i >= values.size() || !values[i]) {
            push(graphs_[i], no_sample, sizeof no_sample - 1);
            continue;
        }
        char piece[16];
        char *end = std::to_chars(piece, piece + sizeof piece - 1, *values[i]).ptr;
        *end++ = ',';
        push(graphs_[i], piece, static_cast<std::size_t>(end - piece));
    }
    last_ = t;
    if (++held_ > slots_)
        drop_oldest();
}

std::string sample_window::text(const std::vector<graph> &gs, const char *label) const
{
    if (held_ == 0)
        return "";
    const int64_t start = last_ - static_cast<int64_t>(held_ - 1) * sample_interval;
    std::size_t size = 128;
    for (const values_text &v : graphs_)
        size += v.text.size() + 96;
    std::string out;
    out.reserve(size);
    // Labels are times of day and graph names letters, digits, '.', '_' and
    // '-' (the configuration's rule): nothing in them needs escaping.
    out += "{\"interval\":" + std::to_string(sample_interval) + ",\"time\":" + std::to_string(last_) +
           ",\"label\":\"" + label + "\",\"start\":" + std::to_string(start) + ",\"graphs\":{";
    for (std::size_t i = 0; i < graphs_.size() && i < gs.size(); ++i) {
        const graph &g = gs[i];
        out += i ? ",\n\"" : "\n\"";
        out += g.name;
        out += "\":{\"min\":" + std::to_string(g.min) + ",\"max\":" + std::to_string(g.max) +
               ",\"thres\":" + std::to_string(g.thres) + ",\"values\":[";
        out.append(graphs_[i].text, 0, graphs_[i].text.size() - 1);  // less the last comma
        out += "]}";
    }
    out += "\n}}\n";
    return out;
}

void publish_window(int64_t t, const std::vector<graph> &gs, const std::vector<outlet> &outs, sample_window &win,
                    publish_dir &run)
{
    std::vector<std::optional<int>> values(outs.size());
    for (std::size_t i = 0; i < outs.size(); ++i)
        if (outs[i].since == t)
            values[i] = static_cast<int>(outs[i].last);
    win.add(t, values);
    char label[sample_label_max + 1];
    if (run.fd() >= 0 && sample_label(t, label))
        run.publish(window_file, win.text(gs, label));
}
