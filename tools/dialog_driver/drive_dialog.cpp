// The operator's hands for ./run.sh: starts selftest.exe under Wine, with a port name typed into
// its port box or with the port its discovery found, and either leaves the dialog to the user
// or runs one test headless.
//
//   drive_dialog show EXE [--port NAME]
//       Types the port name, if given, and waits until the user closes the program.
//   drive_dialog run EXE [--port NAME] [--bmp PATH] [--bmp-ready PATH] [--bmp-running PATH]
//                           [--timeout SECONDS]
//       Types the port name, or prints the one found ("port found: COM7"), presses Start, waits
//       for the verdict, prints the log and the verdict read from the screen, saves the dialog
//       (with its message box, if one is open) as a BMP file and closes the program. Exit code
//       0 for OK, 1 for NG, 2 when there was no verdict (no port found, message box, time-out).
//       --bmp-ready and --bmp-running also save the dialog before Start and halfway through.
#include "dialog_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
const int kExitOk = 0;
const int kExitNg = 1;
const int kExitNoVerdict = 2;
const int kExitUsage = 3;

// Where the log's tab stop puts the status words, near enough for a console.
const size_t kStatusColumn = 36;
// Of a run's 17 log lines, the 8th comes early in the second rate: a run halfway.
const int kRunningShotLines = 8;

struct Options
{
    std::string command;
    std::string exe;
    std::string port;
    std::string bmp;
    std::string bmpReady;
    std::string bmpRunning;
    DWORD timeoutMs = 0; // 0: a run's default bound; no bound on the user in show
};

int Usage()
{
    std::fprintf(stderr, "usage: drive_dialog show|run EXE [--port NAME] [--bmp PATH] [--bmp-ready PATH] "
                         "[--bmp-running PATH] [--timeout SECONDS]\n");
    return kExitUsage;
}

bool Parse(int argc, char** argv, Options& options)
{
    if (argc < 3)
        return false;
    options.command = argv[1];
    options.exe = argv[2];
    for (int i = 3; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--port") == 0 && hasValue)
            options.port = argv[++i];
        else if (std::strcmp(argv[i], "--bmp") == 0 && hasValue)
            options.bmp = argv[++i];
        else if (std::strcmp(argv[i], "--bmp-ready") == 0 && hasValue)
            options.bmpReady = argv[++i];
        else if (std::strcmp(argv[i], "--bmp-running") == 0 && hasValue)
            options.bmpRunning = argv[++i];
        else if (std::strcmp(argv[i], "--timeout") == 0 && hasValue)
            options.timeoutMs = (DWORD)std::strtoul(argv[++i], nullptr, 10) * 1000;
        else
            return false;
    }
    return options.command == "show" || options.command == "run";
}

std::string ExpandTab(const std::string& line)
{
    const std::string::size_type tab = line.find('\t');
    if (tab == std::string::npos)
        return line;
    std::string left = line.substr(0, tab);
    left.resize(left.size() < kStatusColumn ? kStatusColumn : left.size() + 1, ' ');
    return left + line.substr(tab + 1);
}

void Capture(const CDialogDriver& driver, const std::string& path)
{
    std::printf(driver.CaptureBmp(path) ? "screenshot: %s\n" : "screenshot failed: %s\n", path.c_str());
}

// The system centres a message box on the screen, away from a dialog placed at the top left;
// for the picture it goes over the dialog, given a moment to paint there.
void CentreOverDialog(const CDialogDriver& driver, HWND box)
{
    RECT dialog, own;
    if (!::GetWindowRect(driver.Dialog(), &dialog) || !::GetWindowRect(box, &own))
        return;
    const int x = (dialog.left + dialog.right - (own.right - own.left)) / 2;
    const int y = (dialog.top + dialog.bottom - (own.bottom - own.top)) / 2;
    ::SetWindowPos(box, HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    ::Sleep(500);
}

int Show(CDialogDriver& driver, const Options& options)
{
    std::printf("selftest is running; close its window to end.\n");
    std::fflush(stdout);
    // The user decides how long this takes; --timeout bounds it only when given.
    const DWORD start = ::GetTickCount();
    while (!driver.WaitExit(1000))
        if (options.timeoutMs != 0 && ::GetTickCount() - start >= options.timeoutMs)
            return kExitNoVerdict;
    return kExitOk;
}

int Run(CDialogDriver& driver, const Options& options)
{
    driver.PlaceOnTop(40, 40);
    if (!options.bmpReady.empty())
        Capture(driver, options.bmpReady);
    bool runningShot = options.bmpRunning.empty();
    const bool ended = driver.RunToEnd(options.timeoutMs != 0 ? options.timeoutMs : 60000, [&] {
        if (!runningShot && driver.LogCount() >= kRunningShotLines) {
            Capture(driver, options.bmpRunning);
            runningShot = true;
        }
    });
    CDialogDriver::Verdict verdict = CDialogDriver::VerdictUnclear;
    if (ended) {
        // The verdict reaches the screen a moment after the buttons change.
        CDialogDriver::WaitFor(
            [&] {
                verdict = driver.ReadVerdict();
                return verdict == CDialogDriver::VerdictOk || verdict == CDialogDriver::VerdictNg;
            },
            3000);
    }
    for (const std::string& line : driver.LogLines())
        std::printf("  %s\n", ExpandTab(line).c_str());
    HWND box = driver.FindMessageBox();
    if (box != nullptr)
        std::printf("message box: %s\n", CDialogDriver::MessageBoxText(box).c_str());
    if (!ended)
        std::printf("no verdict: %s\n", driver.LastError().c_str());
    else
        std::printf("verdict: %s\n", CDialogDriver::VerdictName(verdict));
    if (!options.bmp.empty()) {
        if (box != nullptr)
            CentreOverDialog(driver, box);
        Capture(driver, options.bmp);
    }
    std::fflush(stdout);
    if (box != nullptr)
        driver.CloseMessageBox(box);
    driver.Close();
    if (!ended)
        return kExitNoVerdict;
    return verdict == CDialogDriver::VerdictOk ? kExitOk : verdict == CDialogDriver::VerdictNg ? kExitNg : kExitNoVerdict;
}
} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, options))
        return Usage();
    CDialogDriver driver;
    if (!driver.Launch(options.exe)) {
        std::fprintf(stderr, "drive_dialog: %s\n", driver.LastError().c_str());
        return kExitNoVerdict;
    }
    if (!options.port.empty() && !driver.TypePort(options.port)) {
        std::fprintf(stderr, "drive_dialog: could not type the port name\n");
        return kExitNoVerdict;
    }
    if (options.port.empty() && options.command == "run") {
        const std::string found = driver.PortText();
        std::printf(found.empty() ? "no port found: the port box is empty\n" : "port found: %s\n", found.c_str());
        std::fflush(stdout);
        if (found.empty()) {
            driver.Close();
            return kExitNoVerdict;
        }
    }
    return options.command == "show" ? Show(driver, options) : Run(driver, options);
}
