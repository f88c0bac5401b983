// Address matching benchmark: net_belong and ip_belong per call against a comparison of integers (Google Benchmark).
//
// Runs the four benchmarks with repetitions, prints Google Benchmark's own
// table on standard error and two rows of the result table on standard
// output: the median time per call of each text matcher and of its integer
// counterpart.
#include "harness.h"

#include "subred.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

// Addresses that lie in the network and some that do not, as text and as
// integers (host order), cycled so no call can be folded away.
const char *const addr_text[] = {"192.168.1.77", "192.168.2.77", "10.1.2.3", "192.168.1.254"};
const uint32_t addr_int[] = {0xC0A8014D, 0xC0A8024D, 0x0A010203, 0xC0A801FE};
constexpr int n_addr = 4;

void net_text(benchmark::State &st)
{
    int i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(net_belong(addr_text[i], "192.168.1.0", "255.255.255.0"));
        i = (i + 1) % n_addr;
    }
}

void net_int(benchmark::State &st)
{
    uint32_t net = 0xC0A80100, mask = 0xFFFFFF00;
    int i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(net);
        benchmark::DoNotOptimize(mask);
        benchmark::DoNotOptimize((addr_int[i] & mask) == net);
        i = (i + 1) % n_addr;
    }
}

void ip_text(benchmark::State &st)
{
    int i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(ip_belong(addr_text[i], "192.168.1.77"));
        i = (i + 1) % n_addr;
    }
}

void ip_int(benchmark::State &st)
{
    uint32_t host = 0xC0A8014D;
    int i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(host);
        benchmark::DoNotOptimize(addr_int[i] == host);
        i = (i + 1) % n_addr;
    }
}

BENCHMARK(net_text)->Repetitions(5);
BENCHMARK(net_int)->Repetitions(5);
BENCHMARK(ip_text)->Repetitions(5);
BENCHMARK(ip_int)->Repetitions(5);

// Keeps Google Benchmark's table on standard error and the time per call of
// every repetition for the rows.
class collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> ns;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                ns[r.run_name.function_name].push_back(r.real_accumulated_time * 1e9 /
                                                       static_cast<double>(r.iterations));
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    collector c;
    c.SetOutputStream(&std::cerr);
    c.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&c);
    benchmark::Shutdown();
    for (const char *k : {"net", "ip"}) {
        const std::string kk = k;
        const double t = median(c.ns[kk + "_text"]), i = median(c.ns[kk + "_int"]);
        print_row(kk + "_belong per call", fmt(t, 1, " ns"), fmt(i, 2, " ns (integers)"), t / i, "-", "-");
    }
    return 0;
}
