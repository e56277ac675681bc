// Store image: cost of a lookup and of a set against the number of names held.
#include "devlib.h"
#include "platform/store_driver.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

// A fresh image holding n names, in its own device root.
void fresh_store(int n)
{
    static char root[] = "/tmp/devlib-bench-XXXXXX";
    static bool made = false;
    if (!made) {
        if (mkdtemp(root) == nullptr)
            std::abort();
        made = true;
        setenv("DEVLIB_ROOT", root, 1);
        mkdir((std::string(root) + "/dev").c_str(), 0755);
        mkdir((std::string(root) + "/flash").c_str(), 0755); // where the recovery saves the store
    }
    devlib::store::reset_client();
    std::string dev = std::string(root) + "/dev/nvram";
    std::FILE *f = std::fopen(dev.c_str(), "w");
    std::fclose(f);
    for (int i = 0; i < n; i++)
        nvram_set_index("BENCH_NAME", i, "some value");
}

void Lookup(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    fresh_store(n);
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nvram_get_index("BENCH_NAME", i));
        i = (i + 7) % n;
    }
}
BENCHMARK(Lookup)->Arg(10)->Arg(100)->Arg(1000)->Arg(4000);

void LookupAbsent(benchmark::State &state)
{
    fresh_store(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(nvram_get("NOT_THERE"));
}
BENCHMARK(LookupAbsent)->Arg(10)->Arg(4000);

void SetSameName(benchmark::State &state)
{
    fresh_store(static_cast<int>(state.range(0)));
    int i = 0;
    char value[16];
    for (auto _ : state) {
        std::snprintf(value, sizeof value, "%d", i++ % 1000);
        benchmark::DoNotOptimize(nvram_set("_kivo_id", value)); // refusals run the recovery
    }
}
BENCHMARK(SetSameName)->Arg(10)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
