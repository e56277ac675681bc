// Cost of starting /bin/true in the foreground: run_task beside system() and
// posix_spawn + waitpid, in one run, with the ratios printed at the end.
// On a busy machine: --benchmark_repetitions=5 (the ratios use the medians).
#include "devlib.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>

extern char **environ;

namespace {

void BM_run_task(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(run_task("/bin/true", "true", nullptr));
}

void BM_system(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(std::system("/bin/true"));
}

void BM_posix_spawn(benchmark::State &state)
{
    char arg0[] = "true";
    char *argv[] = {arg0, nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) == 0)
            waitpid(pid, nullptr, 0);
    }
}

// The caller only waits: wall time is the cost.
BENCHMARK(BM_run_task)->UseRealTime();
BENCHMARK(BM_system)->UseRealTime();
BENCHMARK(BM_posix_spawn)->UseRealTime();

class Capture : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        // The median of repetitions when there are some, else the one run.
        for (const Run &r : runs) {
            const std::string &name = r.run_name.function_name;
            if (r.run_type == Run::RT_Iteration && !medians.count(name))
                real_ns[name] = r.GetAdjustedRealTime();
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                medians.insert(name);
                real_ns[name] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> real_ns;
    std::set<std::string> medians;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Capture reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double rt = reporter.real_ns["BM_run_task"];
    double sys = reporter.real_ns["BM_system"];
    double spawn = reporter.real_ns["BM_posix_spawn"];
    if (rt > 0 && sys > 0 && spawn > 0) {
        std::printf("run_task / system()     = %.2f (goal <= 0.55)\n", rt / sys);
        std::printf("run_task / posix_spawn  = %.2f (goal <= 1.30)\n", rt / spawn);
    }
    return 0;
}
