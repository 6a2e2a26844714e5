// End-to-end timings of the shipped program, for tools/bench_e2e.sh: one "name median unit
// samples..." line per figure on stdout. Runs under the rig (virtual cable COM79).
//   e2e_bench EXE [--runs N]
#include "support/dialog_driver.h"
#include "support/loopback_cable.h"

#include "framework/wnd.h"
#include "res/resource.h"
#include "loopback/port_discovery.h"
#include "serial/serial_wnd_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
const int kCom = 79;

class Stopwatch
{
public:
    Stopwatch() { ::QueryPerformanceFrequency(&m_frequency); ::QueryPerformanceCounter(&m_start); }
    double Ms() const
    {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        return 1000.0 * (double)(now.QuadPart - m_start.QuadPart) / (double)m_frequency.QuadPart;
    }

private:
    LARGE_INTEGER m_frequency, m_start;
};

void Report(const char* name, std::vector<double> samples, const char* unit)
{
    if (samples.empty()) {
        std::printf("%s - %s\n", name, unit);
        return;
    }
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    std::printf("%s %.1f %s", name, median, unit);
    for (double s : samples)
        std::printf(" %.1f", s);
    std::printf("\n");
    std::fflush(stdout);
}

// Start pressed to Start enabled again, polled every few milliseconds.
bool TimeRun(CDialogDriver& driver, double& ms)
{
    Stopwatch watch;
    if (!driver.ClickStart() || !driver.WaitRunStarted(5000))
        return false;
    if (!CDialogDriver::WaitFor([&] { return driver.IsIdle(); }, 30000, 1))
        return false;
    ms = watch.Ms();
    return driver.LogLines().size() == 17;
}

void BenchStartup(const std::string& exe, int runs)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        CDialogDriver driver;
        Stopwatch watch;
        if (driver.Launch(exe))
            samples.push_back(watch.Ms());
        driver.Close();
    }
    Report("startup_to_responsive_dialog", samples, "ms");
}

void BenchRuns(const std::string& exe, int runs, CLoopbackCable& cable, bool paced)
{
    cable.Request(paced ? "pacing on" : "pacing off");
    CDialogDriver driver;
    std::vector<double> samples;
    if (driver.Launch(exe) && driver.TypePort(cable.Name()))
        for (int i = 0; i < runs; ++i) {
            double ms = 0;
            if (TimeRun(driver, ms))
                samples.push_back(ms);
        }
    Report(paced ? "passing_run_baud_true" : "passing_run_instant", samples, "ms");
}

// Stop pressed in the pause after the first block check, to the verdict on the screen.
void BenchStopLatency(const std::string& exe, int runs, CLoopbackCable& cable)
{
    cable.Request("pacing off");
    CDialogDriver driver;
    std::vector<double> samples;
    if (driver.Launch(exe) && driver.TypePort(cable.Name()))
        for (int i = 0; i < runs; ++i) {
            if (!driver.ClickStart())
                break;
            if (!CDialogDriver::WaitFor([&] { return driver.LogCount() >= 4; }, 10000, 1))
                break;
            Stopwatch watch;
            driver.ClickStop();
            if (CDialogDriver::WaitFor([&] { return driver.ReadVerdict() == CDialogDriver::VerdictNg; }, 5000, 1))
                samples.push_back(watch.Ms());
            driver.WaitIdle(10000);
        }
    Report("stop_to_verdict", samples, "ms");
}

void BenchDiscovery(int runs)
{
    // The ports that open at all; Wine names COM1 even when nothing stands behind it.
    std::string present;
    for (int n = 1; n <= 12; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const std::string path = "\\\\.\\" + name;
        HANDLE port = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            ::CloseHandle(port);
            present += (present.empty() ? "" : ",") + name;
        }
    }
    std::printf("discovery_ports_present %s\n", present.empty() ? "none" : present.c_str());
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        char name[16] = {};
        Stopwatch watch;
        FindDevicePort(name);
        samples.push_back(watch.Ms());
    }
    Report("discovery", samples, "ms");
}

// Close of an open port whose listener thread is waiting for port events.
void BenchClose(int runs, CLoopbackCable& cable)
{
    HWND window = ::CreateWindowExA(0, "STATIC", "bench", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    CWnd target;
    target.Attach(window);
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        CSerialWndPort port;
        if (port.Open(cable.Name().c_str(), &target, 0, 0, 0, 0) != 0)
            continue;
        ::Sleep(50); // the listener is in its event wait by now
        Stopwatch watch;
        port.Close();
        samples.push_back(watch.Ms());
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageA(&msg);
    }
    target.Detach();
    ::DestroyWindow(window);
    Report("close_listening_port", samples, "ms");
}
INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

// What a run's 17 log lines cost outside the pauses: each is added to the program's own list
// box and selected, which scrolls it into view once the list is full (the dialog from the
// program's template, in this process).
void BenchLogLines(int runs)
{
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        HWND dialog = ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SELFTEST_DIALOG),
                                           nullptr, PlainDialog, 0);
        if (dialog == nullptr)
            break;
        HWND list = ::GetDlgItem(dialog, IDC_RESULT_LIST);
        const int tabStop = 180;
        ::SendMessageA(list, LB_SETTABSTOPS, 1, (LPARAM)&tabStop);
        double total = 0;
        MSG msg;
        for (int line = 0; line < 17; ++line) {
            Stopwatch watch;
            const LRESULT index = ::SendMessageA(list, LB_ADDSTRING, 0, (LPARAM) "Write 512 bytes... [512/512] \tOK!");
            ::SendMessageA(list, LB_SETCURSEL, (WPARAM)index, 0);
            total += watch.Ms();
            while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                ::DispatchMessageA(&msg);
        }
        ::DestroyWindow(dialog);
        samples.push_back(total);
    }
    Report("log_lines_of_a_run", samples, "ms");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: e2e_bench EXE [--runs N]\n");
        return 2;
    }
    const std::string exe = argv[1];
    int runs = 5;
    if (argc >= 4 && std::strcmp(argv[2], "--runs") == 0)
        runs = std::max(1, std::atoi(argv[3]));

    CLoopbackCable cable(kCom);
    if (!cable.IsReady()) {
        std::fprintf(stderr, "e2e_bench: %s\n", cable.Error().c_str());
        return 2;
    }
    BenchStartup(exe, runs);
    BenchRuns(exe, runs, cable, true);
    BenchRuns(exe, runs, cable, false);
    BenchStopLatency(exe, runs, cable);
    BenchDiscovery(runs);
    BenchClose(runs * 2, cable);
    BenchLogLines(runs);
    return 0;
}
