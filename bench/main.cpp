// Runs the benchmarks like the library's own main, but ends with a failure status when any
// benchmark reported an error (such as a frame that allocated), so that the run catches it.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <vector>

namespace {

class ErrorCountingReporter : public benchmark::ConsoleReporter {
public:
    explicit ErrorCountingReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                ++errors;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    int errors = 0;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ErrorCountingReporter reporter(::isatty(STDOUT_FILENO)
                                       ? benchmark::ConsoleReporter::OO_Defaults
                                       : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.errors == 0 ? 0 : 1;
}
