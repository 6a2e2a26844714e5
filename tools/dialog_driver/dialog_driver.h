// Drives the shipped selftest.exe from outside, the way an operator does, with a bound on every
// wait. The verdict is read from the screen because it is drawn straight onto the control and
// PrintWindow does not capture it.
#pragma once

#include <windows.h>

#include "res/resource.h"
#include "wait_for.h"

#include <functional>
#include <string>
#include <vector>

class CDialogDriver
{
public:
    static const char* const kCaption; // "Vantrel   ver 1.0.0.0"

    // Pixels of one colour inside a rectangle: how many, and their bounding box (empty when none).
    struct Ink
    {
        int count = 0;
        RECT box = {0, 0, 0, 0};
    };

    // The verdict area as seen on the screen.
    struct VerdictInk
    {
        Ink green;     // RGB(0, 170, 0), the face of "OK"
        Ink red;       // RGB(255, 0, 0), the face of "NG"
        Ink grey;      // RGB(192, 192, 192), the shadow
        int other = 0; // anything else but the area's background
        int total = 0; // pixels in the area
    };

    enum Verdict
    {
        VerdictBlank,   // no verdict ink at all
        VerdictOk,      // green face with its grey shadow, no red
        VerdictNg,      // red face with its grey shadow, no green
        VerdictUnclear, // anything else (mixed colours, a window over the area)
    };

    CDialogDriver() = default;
    // Ends a process still running: WM_CLOSE, and after a bounded wait TerminateProcess.
    ~CDialogDriver() { Release(); }
    CDialogDriver(const CDialogDriver&) = delete;
    CDialogDriver& operator=(const CDialogDriver&) = delete;

    // Starts the program (a Unix path is on drive Z:) and waits until its dialog shows and answers.
    // Where the rig runs 32-bit code under emulation, a 32-bit program is started through its
    // launcher, RIG_LAUNCH32, and then found among the processes by its file name.
    bool Launch(const std::string& exePath, DWORD timeoutMs = 20000);
    HWND Dialog() const { return m_hDialog; }
    HWND Control(int id) const { return ::GetDlgItem(m_hDialog, id); }
    DWORD ProcessId() const { return m_processInfo.dwProcessId; }
    HANDLE Process() const { return m_processInfo.hProcess; }
    // True when the program runs under the rig's launcher, that is under emulation, whose own
    // memory and time then count as the program's.
    bool Emulated() const { return m_bThroughLauncher; }
    const std::string& LastError() const { return m_strError; }

    // Moves the dialog to a spot of its own and keeps it above other windows, so that other
    // programs on the same display cannot cover the pixels a test reads.
    bool PlaceOnTop(int x, int y);

    bool TypePort(const std::string& text); // WM_SETTEXT on the port box's edit field
    std::string PortText() const;
    std::vector<std::string> PortList() const;

    // Buttons: the click is posted, so that it never waits for a run or a message box. Like a
    // mouse, Click does nothing on a disabled button; PostCommand sends BN_CLICKED regardless.
    bool Click(int id) const { return IsEnabled(id) && PostCommand(id); }
    bool ClickStart() const { return Click(IDC_START); }
    bool ClickStop() const { return Click(IDC_STOP); }
    bool PostCommand(int id) const
    {
        return ::PostMessageA(m_hDialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)Control(id)) != FALSE;
    }
    bool PressEscape() const; // a key press to the focused control, as the keyboard delivers it
    bool ClickCloseBox() const { return ::PostMessageA(m_hDialog, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE; }
    bool IsEnabled(int id) const { return ::IsWindowEnabled(Control(id)) != FALSE; }

    std::vector<std::string> LogLines() const;
    // One message, not one per line: what to poll during a run, where each is work for the dialog.
    int LogCount() const;
    int ProgressPos() const;
    // The dialog's thread answers a message within the bound.
    bool IsResponsive(DWORD timeoutMs = 5000) const
    {
        return m_hDialog != nullptr && SendBounded(m_hDialog, WM_NULL, 0, 0, nullptr, timeoutMs);
    }

    // The "Unable to open port" box, or any other message box of the process.
    HWND FindMessageBox() const { return FindTopLevel(nullptr); }
    static std::string MessageBoxText(HWND box);
    static std::string WindowText(HWND window);
    bool WaitMessageBox(DWORD timeoutMs, HWND* box = nullptr) const;
    bool CloseMessageBox(HWND box, DWORD timeoutMs = 5000) const;

    // Run state, judged by the buttons: a run holds Start disabled (also while its message box
    // is open); it has ended when Start is enabled and Stop is not.
    bool IsIdle() const { return IsEnabled(IDC_START) && !IsEnabled(IDC_STOP) && FindMessageBox() == nullptr; }
    bool WaitRunStarted(DWORD timeoutMs) const;
    bool WaitIdle(DWORD timeoutMs) const;
    // Start, wait for the run to begin and to end. A message box fails the call (and stays open).
    // whileRunning, when given, is called at each look at the running program (a screenshot).
    bool RunToEnd(DWORD timeoutMs, const std::function<void()>& whileRunning = nullptr);

    VerdictInk ReadVerdictInk() const { return ReadVerdictInk(Control(IDC_VERDICT)); }
    // The ink of any verdict area, a dialog of the test's own process included.
    static VerdictInk ReadVerdictInk(HWND verdictArea);
    static Verdict Classify(const VerdictInk& ink);
    Verdict ReadVerdict() const { return Classify(ReadVerdictInk()); }
    static const char* VerdictName(Verdict verdict);

    // Screen pixels of a rectangle in screen coordinates, row by row, as COLORREF values.
    static bool ReadScreen(const RECT& rect, std::vector<COLORREF>& pixels);
    // The same from any device context (a window's own, or a memory one), in its coordinates.
    static bool ReadPixels(HDC source, const RECT& rect, std::vector<COLORREF>& pixels);
    // The dialog as it is on the screen, with its message box if one is open, as a 24-bit BMP file.
    bool CaptureBmp(const std::string& path) const;

    // WM_CLOSE (the dialog's cancel) and a bounded wait for the process to end.
    bool Close(DWORD timeoutMs = 10000);
    bool WaitExit(DWORD timeoutMs);
    bool HasExited() const;
    DWORD ExitCode() const;

    // During a run the program itself keeps a core and the wineserver busy, so polling stays
    // gentle unless timing matters.
    template <typename Condition>
    static bool WaitFor(Condition condition, DWORD timeoutMs, DWORD pollMs = 25)
    {
        return ::WaitFor(condition, timeoutMs, pollMs);
    }

    // "/a/b.exe" becomes "Z:\a\b.exe"; Windows paths stay as they are.
    static std::string WindowsPath(const std::string& path);

private:
    // A message to the dialog's thread that gives up after the bound instead of waiting for a
    // run's transfer or a message box; false when it timed out.
    static bool SendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result,
                            DWORD timeoutMs = 5000);
    // The items of a list box or a combo box, in the ANSI code page.
    static std::vector<std::string> Items(HWND control, UINT countMessage, UINT lengthMessage, UINT textMessage);
    // A dialog window of the process: the one with this caption, or (null) a message box.
    HWND FindTopLevel(const char* caption) const;
    bool LaunchThroughRig(const std::string& launcher, const std::string& path, DWORD timeoutMs);
    void Release();

    PROCESS_INFORMATION m_processInfo = {};
    HWND m_hDialog = nullptr;
    bool m_bThroughLauncher = false;
    std::string m_strError;
};
