// Times whole runs of the loopback test on one virtual cable, for tools/bench_baudrate.py.
//   baudrate_bench.exe COM RUNS [cable options...]
// Prints one line per run: "run <i> <milliseconds>".
#include "baudrate_harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double NowMs()
{
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return 1000.0 * (double)counter.QuadPart / (double)frequency.QuadPart;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: baudrate_bench COM RUNS [cable options...]\n");
        return 2;
    }
    const int com = std::atoi(argv[1]);
    const int runs = std::atoi(argv[2]);
    std::string options;
    for (int i = 3; i < argc; ++i)
        options += (options.empty() ? "" : " ") + std::string(argv[i]);

    CTestCable cable;
    if (!cable.Claim(com, com, options)) {
        std::fprintf(stderr, "%s\n", cable.Error().c_str());
        return 1;
    }

    CHarnessDlg dlg;
    int exitCode = 0;
    for (int run = 0; run < runs && exitCode == 0; ++run) {
        // Opened per run, as a run of the tool does.
        if (dlg.OpenPort(cable.Name()) != 0) {
            std::fprintf(stderr, "cannot open %s\n", cable.Name().c_str());
            exitCode = 1;
            break;
        }
        dlg.m_lstResult.ResetContent();
        const double start = NowMs();
        const bool passed = dlg.RunBaudrateTest();
        const double elapsed = NowMs() - start;
        dlg.m_serial.Close();
        if (!passed) {
            std::fprintf(stderr, "run %d failed\n", run);
            exitCode = 1;
        }
        std::printf("run %d %.1f\n", run, elapsed);
        std::fflush(stdout);
    }
    return exitCode;
}
