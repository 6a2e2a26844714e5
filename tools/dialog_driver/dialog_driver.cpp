#include "dialog_driver.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <set>

const char* const CDialogDriver::kCaption = "Vantrel   ver 1.0.0.0";

namespace
{
// The message box's text control; the main dialog has its own unnamed controls, so the box
// is told apart by being another dialog window of the process.
const int kMessageBoxTextId = 0xFFFF;

const COLORREF kGreen = RGB(0, 170, 0);
const COLORREF kRed = RGB(255, 0, 0);
const COLORREF kGrey = RGB(192, 192, 192);

// Fewer pixels than this of a face or a shadow are stray dots, not a 42-point verdict.
const int kMinFacePixels = 200;
const int kMinShadowPixels = 20;

std::set<DWORD> ProcessesNamed(const std::string& fileName)
{
    std::set<DWORD> ids;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry))
        if (lstrcmpiA(entry.szExeFile, fileName.c_str()) == 0)
            ids.insert(entry.th32ProcessID);
    ::CloseHandle(snapshot);
    return ids;
}
} // namespace

std::string CDialogDriver::WindowsPath(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string converted = "Z:" + path;
    for (char& c : converted)
        if (c == '/')
            c = '\\';
    return converted;
}

bool CDialogDriver::Launch(const std::string& exePath, DWORD timeoutMs)
{
    Release();
    m_strError.clear();
    m_bThroughLauncher = false;
    const std::string path = WindowsPath(exePath);
    const std::string::size_type slash = path.find_last_of('\\');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
    std::string commandLine = "\"" + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    // The rig names a launcher only where it runs 32-bit code under emulation.
    const char* launcher = std::getenv("RIG_LAUNCH32");
    DWORD binaryType = 0;
    if (launcher != nullptr && *launcher != '\0' && ::GetBinaryTypeA(path.c_str(), &binaryType) &&
        binaryType == SCS_32BIT_BINARY) {
        if (!LaunchThroughRig(launcher, path, timeoutMs))
            return false;
    } else if (!::CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                 folder.empty() ? nullptr : folder.c_str(), &startup, &m_processInfo)) {
        m_strError = "CreateProcess failed for " + path + ", error " + std::to_string(::GetLastError());
        m_processInfo = {};
        return false;
    }
    const bool shown = WaitFor(
        [this] {
            m_hDialog = FindTopLevel(kCaption);
            return (m_hDialog != nullptr && ::IsWindowVisible(m_hDialog)) || HasExited();
        },
        timeoutMs);
    if (!shown || HasExited() || m_hDialog == nullptr) {
        // The exit code tells a crash of Wine's from the program's own ending.
        DWORD exitCode = 0;
        m_strError = !HasExited() ? "no visible dialog captioned \"" + std::string(kCaption) + "\""
                     : ::GetExitCodeProcess(m_processInfo.hProcess, &exitCode)
                         ? "the program ended before showing its dialog (exit code " + std::to_string(exitCode) + ")"
                         : "the program ended before showing its dialog";
        return false;
    }
    if (!IsResponsive(timeoutMs)) {
        m_strError = "the dialog does not answer messages";
        return false;
    }
    return true;
}

bool CDialogDriver::LaunchThroughRig(const std::string& launcher, const std::string& path, DWORD timeoutMs)
{
    const std::string fileName = path.substr(path.find_last_of('\\') + 1);
    const std::set<DWORD> before = ProcessesNamed(fileName);
    // Wine runs a Unix program given by its path; the handles it returns are not the program's.
    std::string commandLine = WindowsPath(launcher) + " \"" + path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION launched = {};
    if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &launched)) {
        m_strError = "the launcher " + launcher + " did not start, error " + std::to_string(::GetLastError());
        return false;
    }
    ::CloseHandle(launched.hThread);
    ::CloseHandle(launched.hProcess);
    DWORD id = 0;
    WaitFor(
        [&] {
            for (DWORD candidate : ProcessesNamed(fileName))
                if (before.count(candidate) == 0)
                    id = candidate;
            return id != 0;
        },
        timeoutMs);
    m_processInfo.hProcess = id == 0 ? nullptr : ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
    if (m_processInfo.hProcess == nullptr) {
        m_strError = "through " + launcher + ": no new process " + fileName;
        return false;
    }
    m_processInfo.dwProcessId = id;
    m_bThroughLauncher = true;
    return true;
}

void CDialogDriver::Release()
{
    if (m_processInfo.hProcess == nullptr)
        return;
    // A message box keeps the dialog's end waiting, so each pass closes one first.
    for (int attempt = 0; attempt < 3 && !HasExited(); ++attempt) {
        HWND box = FindMessageBox();
        if (box != nullptr)
            CloseMessageBox(box, 2000);
        if (m_hDialog != nullptr)
            ::PostMessageA(m_hDialog, WM_CLOSE, 0, 0);
        WaitExit(3000);
    }
    if (!HasExited()) {
        ::TerminateProcess(m_processInfo.hProcess, 1);
        WaitExit(5000);
    }
    if (m_processInfo.hThread != nullptr)
        ::CloseHandle(m_processInfo.hThread);
    ::CloseHandle(m_processInfo.hProcess);
    m_processInfo = {};
    m_hDialog = nullptr;
}

HWND CDialogDriver::FindTopLevel(const char* caption) const
{
    HWND window = nullptr;
    while (m_processInfo.hProcess != nullptr && (window = ::FindWindowExA(nullptr, window, "#32770", caption))) {
        DWORD processId = 0;
        ::GetWindowThreadProcessId(window, &processId);
        if (processId == m_processInfo.dwProcessId &&
            (caption != nullptr || (window != m_hDialog && ::IsWindowVisible(window) &&
                                    ::GetDlgItem(window, kMessageBoxTextId) != nullptr)))
            return window;
    }
    return nullptr;
}

std::string CDialogDriver::WindowText(HWND window)
{
    char text[512] = {};
    ::GetWindowTextA(window, text, sizeof(text));
    return text;
}

std::string CDialogDriver::MessageBoxText(HWND box)
{
    return WindowText(::GetDlgItem(box, kMessageBoxTextId));
}

bool CDialogDriver::WaitMessageBox(DWORD timeoutMs, HWND* box) const
{
    HWND found = nullptr;
    const bool appeared = WaitFor([&] { return (found = FindMessageBox()) != nullptr; }, timeoutMs);
    if (box != nullptr)
        *box = found;
    return appeared;
}

bool CDialogDriver::CloseMessageBox(HWND box, DWORD timeoutMs) const
{
    // The box has one OK button; IDCANCEL is what Esc would send, should it have more.
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    if (WaitFor([box] { return !::IsWindow(box); }, timeoutMs / 2))
        return true;
    ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    return WaitFor([box] { return !::IsWindow(box); }, timeoutMs / 2);
}

bool CDialogDriver::PlaceOnTop(int x, int y)
{
    if (!::SetWindowPos(m_hDialog, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE))
        return false;
    return WaitFor(
        [this, x, y] {
            RECT rect;
            return ::GetWindowRect(m_hDialog, &rect) && rect.left == x && rect.top == y;
        },
        5000);
}

bool CDialogDriver::SendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result,
                                DWORD timeoutMs)
{
    DWORD_PTR answer = 0;
    const bool answered =
        ::SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &answer) != 0;
    if (result != nullptr)
        *result = (LRESULT)answer;
    return answered;
}

bool CDialogDriver::TypePort(const std::string& text)
{
    HWND edit = ::FindWindowExA(Control(IDC_PORT), nullptr, "Edit", nullptr);
    return edit != nullptr && SendBounded(edit, WM_SETTEXT, 0, (LPARAM)text.c_str(), nullptr);
}

std::string CDialogDriver::PortText() const
{
    char text[1024] = {};
    SendBounded(Control(IDC_PORT), WM_GETTEXT, sizeof(text), (LPARAM)text, nullptr);
    return text;
}

std::vector<std::string> CDialogDriver::PortList() const
{
    return Items(Control(IDC_PORT), CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT);
}

std::vector<std::string> CDialogDriver::Items(HWND control, UINT countMessage, UINT lengthMessage, UINT textMessage)
{
    std::vector<std::string> items;
    LRESULT count = 0; // stays 0 when the message fails
    SendBounded(control, countMessage, 0, 0, &count);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = 0;
        // Wine hands an ANSI caller of another process the UTF-16 text of these messages, so it
        // is fetched as UTF-16; the slack is for a log that a run refills between two messages.
        std::vector<wchar_t> wide(1024, L'\0');
        DWORD_PTR copied = 0;
        if (SendBounded(control, lengthMessage, (WPARAM)i, 0, &length) && length >= 0) {
            wide.resize((size_t)length + 1024, L'\0');
            ::SendMessageTimeoutW(control, textMessage, (WPARAM)i, (LPARAM)wide.data(), SMTO_NORMAL, 5000, &copied);
        }
        wide.back() = L'\0';
        char text[4096] = {};
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, text, sizeof(text) - 1, nullptr, nullptr);
        items.push_back(text);
    }
    return items;
}

bool CDialogDriver::PressEscape() const
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    const DWORD threadId = ::GetWindowThreadProcessId(m_hDialog, nullptr);
    HWND target = ::GetGUIThreadInfo(threadId, &info) && info.hwndFocus != nullptr ? info.hwndFocus : m_hDialog;
    const LPARAM scanCode = (LPARAM)::MapVirtualKeyA(VK_ESCAPE, MAPVK_VK_TO_VSC) << 16;
    return ::PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, scanCode | 1) &&
           ::PostMessageA(target, WM_KEYUP, VK_ESCAPE, scanCode | 1 | 0xC0000000);
}

std::vector<std::string> CDialogDriver::LogLines() const
{
    return Items(Control(IDC_RESULT_LIST), LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT);
}

int CDialogDriver::LogCount() const
{
    LRESULT count = -1;
    return SendBounded(Control(IDC_RESULT_LIST), LB_GETCOUNT, 0, 0, &count) ? (int)count : -1;
}

int CDialogDriver::ProgressPos() const
{
    LRESULT position = -1;
    return SendBounded(Control(IDC_PROGRESS), PBM_GETPOS, 0, 0, &position) ? (int)position : -1;
}

bool CDialogDriver::WaitRunStarted(DWORD timeoutMs) const
{
    return WaitFor([this] { return !IsEnabled(IDC_START) || FindMessageBox() != nullptr; }, timeoutMs);
}

bool CDialogDriver::WaitIdle(DWORD timeoutMs) const
{
    return WaitFor([this] { return IsIdle() || HasExited(); }, timeoutMs) && !HasExited();
}

bool CDialogDriver::RunToEnd(DWORD timeoutMs, const std::function<void()>& whileRunning)
{
    if (!ClickStart()) {
        m_strError = "Start is not enabled";
        return false;
    }
    if (!WaitRunStarted(5000)) {
        m_strError = "the run did not start";
        return false;
    }
    WaitFor(
        [&] {
            if (whileRunning)
                whileRunning();
            return IsIdle() || FindMessageBox() != nullptr || HasExited();
        },
        timeoutMs);
    if (FindMessageBox() != nullptr) {
        m_strError = "message box: " + MessageBoxText(FindMessageBox());
        return false;
    }
    if (!IsIdle()) {
        m_strError = HasExited() ? "the program ended during the run" : "the run did not end in time";
        return false;
    }
    return true;
}

bool CDialogDriver::ReadScreen(const RECT& rect, std::vector<COLORREF>& pixels)
{
    HDC screen = ::GetDC(nullptr);
    const bool read = ReadPixels(screen, rect, pixels);
    ::ReleaseDC(nullptr, screen);
    return read;
}

bool CDialogDriver::ReadPixels(HDC source, const RECT& rect, std::vector<COLORREF>& pixels)
{
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    pixels.clear();
    if (width <= 0 || height <= 0)
        return false;
    HDC memory = ::CreateCompatibleDC(source);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(info.bmiHeader), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}; // top-down rows
    void* bits = nullptr;
    HBITMAP section = ::CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool copied = false;
    if (section != nullptr) {
        HGDIOBJ previous = ::SelectObject(memory, section);
        copied = ::BitBlt(memory, 0, 0, width, height, source, rect.left, rect.top, SRCCOPY) != FALSE;
        ::GdiFlush();
        if (copied) {
            const DWORD* quad = static_cast<const DWORD*>(bits);
            pixels.resize((size_t)width * height);
            for (size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = RGB((quad[i] >> 16) & 0xFF, (quad[i] >> 8) & 0xFF, quad[i] & 0xFF);
        }
        ::SelectObject(memory, previous);
        ::DeleteObject(section);
    }
    ::DeleteDC(memory);
    return copied;
}

CDialogDriver::VerdictInk CDialogDriver::ReadVerdictInk(HWND verdict)
{
    VerdictInk ink;
    RECT area;
    if (verdict == nullptr || !::GetClientRect(verdict, &area))
        return ink;
    ::MapWindowPoints(verdict, nullptr, reinterpret_cast<POINT*>(&area), 2);
    std::vector<COLORREF> pixels;
    if (!ReadScreen(area, pixels))
        return ink;
    const COLORREF background = ::GetSysColor(COLOR_BTNFACE);
    const int width = area.right - area.left;
    ink.total = (int)pixels.size();
    for (size_t i = 0; i < pixels.size(); ++i) {
        const int x = area.left + (int)(i % width);
        const int y = area.top + (int)(i / width);
        Ink* kind = pixels[i] == kGreen ? &ink.green : pixels[i] == kRed ? &ink.red : pixels[i] == kGrey ? &ink.grey : nullptr;
        if (kind != nullptr) {
            ++kind->count;
            const RECT pixel = {x, y, x + 1, y + 1};
            ::UnionRect(&kind->box, &kind->box, &pixel); // an empty box gives way to the pixel
        } else if (pixels[i] != background) {
            ++ink.other;
        }
    }
    return ink;
}

CDialogDriver::Verdict CDialogDriver::Classify(const VerdictInk& ink)
{
    if (ink.total > 0 && ink.green.count == 0 && ink.red.count == 0 && ink.grey.count == 0 && ink.other == 0)
        return VerdictBlank;
    const bool shadow = ink.grey.count >= kMinShadowPixels;
    if (ink.green.count >= kMinFacePixels && ink.red.count == 0 && shadow)
        return VerdictOk;
    if (ink.red.count >= kMinFacePixels && ink.green.count == 0 && shadow)
        return VerdictNg;
    return VerdictUnclear;
}

const char* CDialogDriver::VerdictName(Verdict verdict)
{
    static const char* const kNames[] = {"blank", "OK", "NG", "unclear"};
    return kNames[verdict];
}

bool CDialogDriver::CaptureBmp(const std::string& path) const
{
    RECT rect;
    std::vector<COLORREF> pixels;
    if (!::GetWindowRect(m_hDialog, &rect))
        return false;
    RECT box;
    if (HWND messageBox = FindMessageBox(); messageBox != nullptr && ::GetWindowRect(messageBox, &box))
        ::UnionRect(&rect, &rect, &box);
    if (!ReadScreen(rect, pixels))
        return false;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int stride = (width * 3 + 3) & ~3;
    const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    const BITMAPFILEHEADER file = {0x4D42, offset + (DWORD)stride * height, 0, 0, offset}; // "BM"
    const BITMAPINFOHEADER header = {sizeof(header), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0}; // bottom-up
    FILE* out = std::fopen(WindowsPath(path).c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = std::fwrite(&file, sizeof(file), 1, out) == 1 && std::fwrite(&header, sizeof(header), 1, out) == 1;
    std::vector<unsigned char> row((size_t)stride, 0);
    for (int y = height - 1; y >= 0 && written; --y) {
        for (int x = 0; x < width; ++x) {
            const COLORREF pixel = pixels[(size_t)y * width + x];
            row[x * 3 + 0] = GetBValue(pixel);
            row[x * 3 + 1] = GetGValue(pixel);
            row[x * 3 + 2] = GetRValue(pixel);
        }
        written = std::fwrite(row.data(), row.size(), 1, out) == 1;
    }
    return std::fclose(out) == 0 && written;
}

bool CDialogDriver::Close(DWORD timeoutMs)
{
    if (HasExited())
        return true;
    ::PostMessageA(m_hDialog, WM_CLOSE, 0, 0);
    return WaitExit(timeoutMs);
}

bool CDialogDriver::WaitExit(DWORD timeoutMs)
{
    return m_processInfo.hProcess != nullptr && ::WaitForSingleObject(m_processInfo.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

bool CDialogDriver::HasExited() const
{
    return m_processInfo.hProcess == nullptr || ::WaitForSingleObject(m_processInfo.hProcess, 0) == WAIT_OBJECT_0;
}

DWORD CDialogDriver::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (m_processInfo.hProcess != nullptr)
        ::GetExitCodeProcess(m_processInfo.hProcess, &code);
    return code;
}
