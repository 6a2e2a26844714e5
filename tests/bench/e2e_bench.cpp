// End-to-end figures of the shipped program, for tests/bench/bench_e2e.sh: one "name median unit
// samples..." line per figure on stdout. Runs under the rig (virtual cable COM86).
//   e2e_bench EXE [--runs N] [--wineserver PID]
// PID: the Linux process of the rig's wineserver, whose processor time a run costs too.
#include "message_tally.h"
#include "dialog_driver.h"
#include "expected_log.h"
#include "loopback_cable.h"
#include "support/responsiveness_probe.h"

#include "app/result_list.h"
#include "framework/wnd.h"
#include "res/resource.h"
#include "loopback/port_discovery.h"
#include "serial/serial_wnd_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{
const int kCom = 86;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

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
    const Clock::time_point start = Clock::now();
    if (!driver.ClickStart() || !driver.WaitRunStarted(5000) ||
        !CDialogDriver::WaitFor([&] { return driver.IsIdle(); }, 30000, 1))
        return false;
    ms = MsSince(start);
    return driver.LogLines().size() == 17;
}

void BenchStartup(const std::string& exe, int runs)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        CDialogDriver driver;
        const Clock::time_point start = Clock::now();
        if (driver.Launch(exe))
            samples.push_back(MsSince(start));
        driver.Close();
    }
    Report("startup_to_responsive_dialog", samples, "ms");
}

// The program started with its port box on the cable, which paces its echo or not.
bool LaunchOn(CDialogDriver& driver, const std::string& exe, CLoopbackCable& cable, bool paced)
{
    return cable.Request(paced ? "pacing on" : "pacing off") && driver.Launch(exe) && driver.TypePort(cable.Name());
}

// Passing runs, and the longest the dialog left a message unanswered during each.
void BenchRuns(const std::string& exe, int runs, CLoopbackCable& cable, bool paced)
{
    CDialogDriver driver;
    std::vector<double> samples, unanswered;
    if (LaunchOn(driver, exe, cable, paced)) {
        CResponsivenessProbe probe(driver.Dialog());
        for (int i = 0; i < runs; ++i) {
            double ms = 0;
            probe.TakeLongestMs();
            if (TimeRun(driver, ms)) {
                samples.push_back(ms);
                unanswered.push_back(probe.TakeLongestMs());
            }
        }
    }
    Report(paced ? "passing_run_baud_true" : "passing_run_instant", samples, "ms");
    Report(paced ? "longest_unanswered_baud_true" : "longest_unanswered_instant", unanswered, "ms");
}

// Start-up to the found port in the box, with a port whose open takes `openMs` (a wireless
// serial port that connects when opened) first among the ports discovery tries, and the maker's
// cable next. Only the cable driver has such ports. The first is COM2: the rig keeps COM1 for
// the machine's own serial device, which it makes fail at once, as a port that is busy.
void BenchSlowOpenStartup(const std::string& exe, int runs, DWORD openMs)
{
    CTestCable slow, maker;
    if (!slow.Claim(2, 2, "--plain --slow-open " + std::to_string(openMs)) || !maker.Claim(3, 3, "--instant")) {
        std::printf("startup_to_port_shown_slow_port - skipped: %s%s\n", slow.Error().c_str(), maker.Error().c_str());
        return;
    }
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        CDialogDriver driver;
        const Clock::time_point start = Clock::now();
        if (driver.Launch(exe, 20000 + openMs) &&
            CDialogDriver::WaitFor([&] { return driver.PortText() == maker.Name(); }, 20000 + openMs, 5))
            samples.push_back(MsSince(start));
        driver.Close();
    }
    Report("startup_to_port_shown_slow_port", samples, "ms");
}

// Stop pressed in the pause after the first block check, to the verdict on the screen.
void BenchStopLatency(const std::string& exe, int runs, CLoopbackCable& cable)
{
    CDialogDriver driver;
    std::vector<double> samples;
    if (LaunchOn(driver, exe, cable, false))
        for (int i = 0; i < runs; ++i) {
            if (!driver.ClickStart() || !CDialogDriver::WaitFor([&] { return driver.LogCount() >= 4; }, 10000, 1))
                break;
            const Clock::time_point start = Clock::now();
            driver.ClickStop();
            if (CDialogDriver::WaitFor([&] { return driver.ReadVerdict() == CDialogDriver::VerdictNg; }, 5000, 1))
                samples.push_back(MsSince(start));
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
        const Clock::time_point start = Clock::now();
        FindDevicePort(name);
        samples.push_back(MsSince(start));
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
        const Clock::time_point start = Clock::now();
        port.Close();
        samples.push_back(MsSince(start));
        DispatchQueued();
    }
    target.Detach();
    ::DestroyWindow(window);
    Report("close_listening_port", samples, "ms");
}

// A file of a Linux process's /proc entry (drive Z: is the root); empty when it cannot be read.
std::string ReadProc(int pid, const char* file)
{
    std::ifstream in("Z:\\proc\\" + std::to_string(pid) + "\\" + file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Processor time of a Linux process, in milliseconds at Linux's 100 clock ticks a second; -1
// when it cannot be read.
double LinuxCpuMs(int pid)
{
    const std::string line = ReadProc(pid, "stat");
    // The name in parentheses may hold blanks; utime and stime are the 12th and 13th fields after it.
    const size_t rest = line.rfind(')');
    unsigned long long user = 0, system = 0;
    const char* const format = " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu";
    if (rest == std::string::npos || std::sscanf(line.c_str() + rest + 1, format, &user, &system) != 2)
        return -1;
    return (double)(user + system) * 10.0;
}

// The Linux process that runs the Windows program at `windowsPath`: Wine gives it the program's
// path as its command line. 0 when there is not exactly one.
int LinuxPidOf(const std::string& windowsPath)
{
    int found = 0, matches = 0;
    WIN32_FIND_DATAA entry;
    HANDLE search = ::FindFirstFileA("Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        const int pid = std::atoi(entry.cFileName);
        if (pid > 0 && _stricmp(ReadProc(pid, "cmdline").c_str(), windowsPath.c_str()) == 0) {
            found = pid;
            ++matches;
        }
    } while (::FindNextFileA(search, &entry));
    ::FindClose(search);
    return matches == 1 ? found : 0;
}

// A passing run on the baud-true cable: the processor time it costs the program and the
// wineserver. (Wine's GetProcessTimes for another process does not count its threads' time.)
void BenchCpu(const std::string& exe, int runs, CLoopbackCable& cable, int wineserverPid)
{
    CDialogDriver driver;
    std::vector<double> program, server;
    const int programPid = LaunchOn(driver, exe, cable, true) ? LinuxPidOf(CDialogDriver::WindowsPath(exe)) : 0;
    for (int i = 0; programPid != 0 && i < runs; ++i) {
        const double programBefore = LinuxCpuMs(programPid);
        const double serverBefore = LinuxCpuMs(wineserverPid);
        // Polled gently: the figure is the program's, not the poller's.
        if (programBefore < 0 || !driver.ClickStart() || !driver.WaitRunStarted(5000) || !driver.WaitIdle(30000) ||
            driver.LogCount() != 17)
            break;
        program.push_back(LinuxCpuMs(programPid) - programBefore);
        if (serverBefore >= 0)
            server.push_back(LinuxCpuMs(wineserverPid) - serverBefore);
    }
    Report("cpu_program_per_run", program, "ms");
    Report("cpu_wineserver_per_run", server, "ms");
}

// Passing runs with the tally's hooks on the dialog's thread: the port notifications a run
// makes the dialog handle, and how long a new log line waits for the list's next paint.
void BenchTally(const std::string& exe, int runs, CLoopbackCable& cable, bool paced)
{
    const char* const counted = paced ? "notifications_per_run_baud_true" : "notifications_per_run_instant";
    CDialogDriver driver;
    std::vector<double> notifications, lineToPaint, longestLineToPaint;
    HMODULE dll = ::LoadLibraryA("message_tally.dll"); // from the bench's own folder, searched first
    if (dll != nullptr && LaunchOn(driver, exe, cable, paced)) {
        char name[64];
        MessageTallyName(driver.ProcessId(), name);
        const DWORD size = sizeof(MessageTally);
        HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
        volatile MessageTally* tally =
            mapping != nullptr ? (MessageTally*)::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size) : nullptr;
        const DWORD thread = ::GetWindowThreadProcessId(driver.Dialog(), nullptr);
        const auto hook = [&](int kind, const char* name) {
            return ::SetWindowsHookExA(kind, (HOOKPROC)(void*)::GetProcAddress(dll, name), dll, thread);
        };
        HHOOK getMessage = hook(WH_GETMESSAGE, "TallyGetMessage");
        HHOOK callWndProc = hook(WH_CALLWNDPROC, "TallyCallWndProc");
        for (int i = 0; tally != nullptr && getMessage != nullptr && callWndProc != nullptr && i < runs; ++i) {
            const LONG before = tally->notifications;
            const LONG paintedBefore = tally->linesPainted;
            if (!driver.RunToEnd(30000) || driver.LogCount() != 17) {
                // A run held up by its own notifications is a finding, not a broken bench.
                std::printf("%s_stalled - run %d of %d: %s, %d lines\n", counted, i + 1, runs,
                            driver.LastError().c_str(), driver.LogCount());
                break;
            }
            ::Sleep(200); // the last line's paint comes after the run
            notifications.push_back(tally->notifications - before);
            double longest = -1;
            for (LONG line = paintedBefore; line < tally->linesPainted && line < MessageTally::kMaxLines; ++line) {
                lineToPaint.push_back((double)tally->lineToPaintMs[line]);
                longest = std::max(longest, (double)tally->lineToPaintMs[line]);
            }
            if (longest >= 0)
                longestLineToPaint.push_back(longest);
        }
        if (getMessage != nullptr)
            ::UnhookWindowsHookEx(getMessage);
        if (callWndProc != nullptr)
            ::UnhookWindowsHookEx(callWndProc);
        driver.Close();
        if (tally != nullptr)
            ::UnmapViewOfFile((const void*)tally);
        if (mapping != nullptr)
            ::CloseHandle(mapping);
    }
    if (dll != nullptr)
        ::FreeLibrary(dll);
    Report(counted, notifications, "count");
    if (paced) {
        Report("line_to_paint", lineToPaint, "ms");
        Report("line_to_paint_longest_per_run", longestLineToPaint, "ms");
    }
}

INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

// What a run's 17 log lines cost outside the pauses: each is added to the program's own list
// box by the result list's AddLine (the dialog from the program's template, in this process);
// the paints it leaves are handled after each line, outside the figure.
void BenchLogLines(int runs)
{
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        HWND dialog = ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SELFTEST_DIALOG),
                                           nullptr, PlainDialog, 0);
        if (dialog == nullptr)
            break;
        HWND list = ::GetDlgItem(dialog, IDC_RESULT_LIST);
        ::SendMessageA(list, LB_SETTABSTOPS, 1, (LPARAM)&kLogTabStop);
        CResultList log;
        log.Attach(list);
        double total = 0;
        for (int line = 0; line < 17; ++line) {
            const Clock::time_point start = Clock::now();
            log.AddLine("Write 512 bytes... [512/512] OK!");
            total += MsSince(start);
            DispatchQueued();
        }
        log.Detach();
        ::DestroyWindow(dialog);
        samples.push_back(total);
    }
    Report("log_lines_of_a_run", samples, "ms");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: e2e_bench EXE [--runs N] [--wineserver PID]\n");
        return 2;
    }
    const std::string exe = argv[1];
    int runs = 5;
    int wineserverPid = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--wineserver") == 0)
            wineserverPid = std::atoi(argv[i + 1]);
    }

    CLoopbackCable cable(kCom);
    if (!cable.IsReady()) {
        std::fprintf(stderr, "e2e_bench: %s\n", cable.Error().c_str());
        return 2;
    }
    BenchStartup(exe, runs);
    if (cable.Kind() == CCableClient::Driver)
        BenchSlowOpenStartup(exe, std::min(runs, 3), 3000);
    BenchRuns(exe, runs, cable, true);
    BenchRuns(exe, runs, cable, false);
    BenchStopLatency(exe, runs, cable);
    BenchDiscovery(runs);
    BenchClose(runs * 2, cable);
    BenchLogLines(runs);
    BenchCpu(exe, runs, cable, wineserverPid);
    BenchTally(exe, runs, cable, true);
    BenchTally(exe, runs, cable, false);
    return 0;
}
