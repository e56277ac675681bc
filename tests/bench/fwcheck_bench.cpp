// Verification of a 16 MiB firmware image (header check against the flash
// header, exact length, every section sum) beside a memcpy of the same
// buffer. Prints the rate of each and the ratio.
#include "persist/fwheader.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fw = devlib::fw;

namespace {

constexpr std::size_t kImage = 16u << 20;

std::vector<unsigned char> &image()
{
    static std::vector<unsigned char> img = [] {
        const std::uint32_t len2 = 16384;
        const std::uint32_t len3 = 12u << 20;
        const std::uint32_t len4 = kImage - 128 - len2 - len3;
        std::vector<unsigned char> b(kImage);
        for (std::size_t i = 128; i < b.size(); i++)
            b[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
        fw::ImageSpec spec{};
        spec.type = 'F';
        spec.product = "ROUTER1";
        spec.vendor = "ACME";
        spec.length[1] = len2;
        spec.length[2] = len3;
        spec.length[3] = len4;
        spec.section[1] = b.data() + 128;
        spec.section[2] = b.data() + 128 + len2;
        spec.section[3] = b.data() + 128 + len2 + len3;
        unsigned char header[128];
        if (!fw::make_header(spec, header))
            std::abort();
        std::memcpy(b.data(), header, sizeof header);
        return b;
    }();
    return img;
}

void BM_Verify(benchmark::State &state)
{
    const auto &img = image();
    for (auto _ : state) {
        fw::Layout layout;
        int r = fw::verify_upgrade(img.data(), img.size(), &layout);
        if (r != 0) {
            state.SkipWithError("image refused");
            break;
        }
        benchmark::DoNotOptimize(layout);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(img.size()));
}
BENCHMARK(BM_Verify)->Unit(benchmark::kMillisecond)->MinTime(0.3)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_Memcpy(benchmark::State &state)
{
    const auto &img = image();
    std::vector<unsigned char> dst(img.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), img.data(), img.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(img.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->MinTime(0.3)->Repetitions(7)->ReportAggregatesOnly(true);

// The console report, and the median rate of each benchmark kept for the
// ratio: the machine is shared, single runs vary.
class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            auto it = r.counters.find("bytes_per_second");
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (it != r.counters.end() && (median || r.run_type == Run::RT_Iteration))
                rates[r.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char **argv)
{
    // The flash header the image is checked against, in a device root of its own.
    char root[] = "/tmp/fwcheck-bench-XXXXXX";
    if (mkdtemp(root) == nullptr)
        return 1;
    std::string dev = std::string(root) + "/dev";
    std::string mtd5 = dev + "/mtd5";
    if (::mkdir(dev.c_str(), 0755) != 0)
        return 1;
    FILE *f = std::fopen(mtd5.c_str(), "w");
    if (f == nullptr || std::fwrite(image().data(), 1, 128, f) != 128 || std::fclose(f) != 0)
        return 1;
    ::setenv("DEVLIB_ROOT", root, 1);

    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    double verify = reporter.rates["BM_Verify"];
    double copy = reporter.rates["BM_Memcpy"];
    if (verify > 0 && copy > 0)
        std::printf("\nmedian: verify %.2f GB/s, memcpy %.2f GB/s, ratio %.2f\n", verify / 1e9, copy / 1e9, verify / copy);

    ::unlink(mtd5.c_str());
    ::rmdir(dev.c_str());
    ::rmdir(root);
    return 0;
}
