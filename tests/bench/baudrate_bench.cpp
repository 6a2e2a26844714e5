// Times whole runs of the loopback test on one virtual cable, for tests/bench/bench_baudrate.py.
//   baudrate_bench.exe COM RUNS [cable options...]
// Prints one line per run: "run <i> <milliseconds> <notifications posted> <listener thread's
// processor ms>". The port notifies a window of this thread, as a run's port notifies the dialog.
#include "baudrate_harness.h"

#include "serial/serial_api.h"
#include "wait_for.h"

#include <atomic>
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

std::atomic<long> g_posted{0};
HANDLE g_listener = nullptr;

BOOL WINAPI CountedPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    ++g_posted;
    return ::PostMessageA(window, message, wParam, lParam);
}

HANDLE WINAPI NotedThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE body, LPVOID param,
                          DWORD flags, LPDWORD id)
{
    const HANDLE thread = ::CreateThread(security, stack, body, param, flags, id);
    if (thread)
        ::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), &g_listener, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
    return thread;
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
    g_serialApi.PostMessageA = CountedPost;
    g_serialApi.CreateThread = NotedThread;
    CWnd sink;
    sink.Attach(::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));

    CHarnessDlg dlg;
    int exitCode = 0;
    for (int run = 0; run < runs && exitCode == 0; ++run) {
        // Opened per run, as a run of the tool does.
        if (dlg.OpenPort(cable.Name(), &sink) != 0) {
            std::fprintf(stderr, "cannot open %s\n", cable.Name().c_str());
            exitCode = 1;
            break;
        }
        dlg.m_lstResult.ResetContent();
        g_posted = 0;
        const double start = NowMs();
        const bool passed = dlg.RunBaudrateTest();
        const double elapsed = NowMs() - start;
        const long posted = g_posted;
        // Before Close: the times go with the thread.
        const long long listenerMs = (long long)ThreadBusyMs(g_listener);
        dlg.m_serial.Close();
        ::CloseHandle(g_listener);
        g_listener = nullptr;
        if (!passed) {
            std::fprintf(stderr, "run %d failed\n", run);
            exitCode = 1;
        }
        std::printf("run %d %.1f %ld %lld\n", run, elapsed, posted, listenerMs);
        std::fflush(stdout);
    }
    ::DestroyWindow(sink.Detach());
    return exitCode;
}
