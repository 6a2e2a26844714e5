// The shipped program at start-up, seen from outside: its state without a cable, and its
// dialog's layout read back from the running windows and from the program's resources.
#include "support/program_test.h"
#include "res/resource.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{
// The dialog template as the program is meant to have it; rectangles in dialog units.
struct ControlRow
{
    int id;
    const char* className;
    WORD classOrdinal; // 0 for a class given by name
    const wchar_t* text;
    DWORD style;
    short x, y, cx, cy;
};

const ControlRow kControls[] = {
    {IDC_START, "Button", 0x80, L"&开始", 0x50010000, 6, 36, 54, 18},
    {IDC_STOP, "Button", 0x80, L"停止", 0x50010000, 66, 36, 54, 18},
    {IDC_PORT, "ComboBox", 0x85, L"", 0x50210002, 60, 12, 54, 48},
    {IDC_PROGRESS, "msctls_progress32", 0, L"", 0x50800001, 6, 60, 114, 8},
    {-1, "Button", 0x80, L"测试结果", 0x50000007, 126, 6, 102, 66},
    {IDC_RESULT_LIST, "ListBox", 0x83, L"", 0x50A10181, 6, 78, 222, 84},
    {-1, "Static", 0x82, L"设备串口", 0x50020000, 18, 12, 38, 8},
    {IDC_VERDICT, "Static", 0x82, L"", 0x5082000C, 132, 18, 90, 48},
};

const DWORD kDialogStyle = 0x90C800C8;
const DWORD kDialogExStyle = 0x00040000;
const short kDialogCx = 238, kDialogCy = 169;
const WORD kControlCount = sizeof(kControls) / sizeof(kControls[0]);
const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const LPCSTR kDialogInitType = MAKEINTRESOURCEA(240);

// Bits the platform changes on a running control: the dialog manager turns a border into a
// client edge, list and combo boxes drop scroll bars they do not need yet, the themed progress
// bar draws its own frame, and Stop starts disabled. The template itself is checked exactly.
const DWORD kRuntimeBits = WS_BORDER | WS_VSCROLL | WS_DISABLED;

std::wstring Wide(const std::string& ansi)
{
    wchar_t wide[512] = {};
    ::MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, wide, 511);
    return wide;
}

std::string Utf8(const std::wstring& wide)
{
    char text[1024] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text, sizeof(text) - 1, nullptr, nullptr);
    return text;
}

// The pixels per 4 horizontal and per 8 vertical dialog units of the template's font, taken
// from a hidden dialog of this process with that font: the running dialog's own MapDialogRect
// is out of reach from another process.
SIZE BaseUnits()
{
    const DWORD style = WS_POPUP | DS_SETFONT | DS_FIXEDSYS | DS_MODALFRAME;
    // DLGTEMPLATEEX: version, signature, help id, extended style, style, no controls, at 0,0 of
    // size 0, no menu, the default class, no caption, 8 points, weight 0, upright, the face.
    std::vector<WORD> t = {1, 0xFFFF, 0, 0, 0, 0, LOWORD(style), HIWORD(style), 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0};
    const wchar_t face[] = L"MS Shell Dlg";
    t.insert(t.end(), std::begin(face), std::end(face));
    HWND dialog = ::CreateDialogIndirectParamA(::GetModuleHandleA(nullptr), (LPCDLGTEMPLATEA)t.data(), nullptr,
                                               nullptr, 0);
    RECT units = {0, 0, 4, 8};
    if (dialog != nullptr) {
        ::MapDialogRect(dialog, &units);
        ::DestroyWindow(dialog);
    }
    return {units.right, units.bottom};
}

// A resource of the built program in exactly U.S. English, or an empty block.
std::vector<BYTE> ProgramResource(LPCSTR type, int id)
{
    static const HMODULE program =
        ::LoadLibraryExA(CDialogDriver::WindowsPath(SELFTEST_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = program ? ::FindResourceExA(program, type, MAKEINTRESOURCEA(id), kEnglishUs) : nullptr;
    if (found == nullptr)
        return {};
    const BYTE* data = static_cast<const BYTE*>(::LockResource(::LoadResource(program, found)));
    return std::vector<BYTE>(data, data + ::SizeofResource(program, found));
}

// Reads a DLGTEMPLATEEX field by field.
class TemplateReader
{
public:
    explicit TemplateReader(const std::vector<BYTE>& data) : m_data(data) {}
    bool Ok() const { return m_ok; }
    WORD Word() { WORD w = 0; Take(&w, 2); return w; }
    DWORD Dword() { DWORD d = 0; Take(&d, 4); return d; }
    BYTE Byte() { BYTE b = 0; Take(&b, 1); return b; }
    // A name or ordinal field: returns the ordinal, or 0 and the name.
    WORD NameOrOrdinal(std::wstring* name)
    {
        name->clear();
        WORD first = Word();
        if (first == 0xFFFF)
            return Word();
        for (WORD c = first; c != 0 && m_ok; c = Word())
            name->push_back((wchar_t)c);
        return 0;
    }
    std::wstring Text() { std::wstring text; NameOrOrdinal(&text); return text; }
    void AlignDword() { m_offset = (m_offset + 3) & ~(size_t)3; }
    void Skip(size_t count) { m_offset += count; m_ok = m_ok && m_offset <= m_data.size(); }

private:
    void Take(void* out, size_t count)
    {
        if (m_offset + count > m_data.size()) {
            m_ok = false;
            return;
        }
        std::memcpy(out, m_data.data() + m_offset, count);
        m_offset += count;
    }
    const std::vector<BYTE>& m_data;
    size_t m_offset = 0;
    bool m_ok = true;
};

using DialogStartupTest = ProgramTest;

TEST_F(DialogStartupTest, StartsReadyWithoutCableAndWithoutRunning)
{
    EXPECT_EQ(m_driver.PortText(), "") << "nothing answers discovery on this rig, so the port box stays empty";
    std::vector<std::string> expectedList;
    for (int n = 1; n <= 12; ++n)
        expectedList.push_back("COM" + std::to_string(n));
    EXPECT_EQ(m_driver.PortList(), expectedList);
    EXPECT_TRUE(m_driver.IsEnabled(IDC_START));
    EXPECT_FALSE(m_driver.IsEnabled(IDC_STOP));
    EXPECT_EQ(m_driver.LogLines().size(), 0u) << Join(m_driver.LogLines());
    EXPECT_EQ(m_driver.ProgressPos(), 0);
    EXPECT_EQ(m_driver.FindMessageBox(), nullptr);

    // Blank now and still blank a moment later: no run was started behind our back.
    const CDialogDriver::VerdictInk first = m_driver.ReadVerdictInk();
    EXPECT_EQ(CDialogDriver::Classify(first), CDialogDriver::VerdictBlank) << Describe(first);
    ::Sleep(500);
    const CDialogDriver::VerdictInk later = m_driver.ReadVerdictInk();
    EXPECT_EQ(CDialogDriver::Classify(later), CDialogDriver::VerdictBlank) << Describe(later);
    EXPECT_EQ(m_driver.LogLines().size(), 0u);

    // OnInitDialog returns TRUE: the dialog manager focuses the first control that takes it.
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(::GetGUIThreadInfo(::GetWindowThreadProcessId(m_driver.Dialog(), nullptr), &info));
    EXPECT_EQ(info.hwndFocus, m_driver.Control(IDC_START));
}

TEST_F(DialogStartupTest, RunningDialogMatchesTemplateTable)
{
    HWND dialog = m_driver.Dialog();
    EXPECT_EQ(CDialogDriver::WindowText(dialog), CDialogDriver::kCaption);
    EXPECT_EQ(m_launchRect.left, 0);
    EXPECT_EQ(m_launchRect.top, 0);
    const DWORD style = (DWORD)::GetWindowLongA(dialog, GWL_STYLE);
    EXPECT_EQ(style & kDialogStyle, kDialogStyle) << std::hex << style;
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0u) << std::hex << style;
    EXPECT_TRUE(::GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    const SIZE base = BaseUnits();
    ASSERT_GT(base.cx, 0);
    RECT client;
    ::GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, ::MulDiv(kDialogCx, base.cx, 4));
    EXPECT_EQ(client.bottom, ::MulDiv(kDialogCy, base.cy, 8));

    // Direct children in creation order, which is the template's order and the tab order.
    std::vector<HWND> children;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    ASSERT_EQ(children.size(), kControlCount);

    for (size_t i = 0; i < children.size(); ++i) {
        const ControlRow& row = kControls[i];
        HWND child = children[i];
        SCOPED_TRACE("control #" + std::to_string(i) + " (" + Utf8(row.text) + ", id " + std::to_string(row.id) + ")");
        EXPECT_EQ(::GetDlgCtrlID(child), row.id);
        char className[64] = {};
        ::GetClassNameA(child, className, sizeof(className));
        EXPECT_EQ(lstrcmpiA(className, row.className), 0) << className;
        EXPECT_EQ(Wide(CDialogDriver::WindowText(child)), row.text);
        const DWORD childStyle = (DWORD)::GetWindowLongA(child, GWL_STYLE);
        EXPECT_EQ(childStyle & ~kRuntimeBits, row.style & ~kRuntimeBits) << std::hex << childStyle;

        RECT rect;
        ::GetWindowRect(child, &rect);
        ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
        // Left, top, width, height in pixels. A drop-down combo box's window is its edit field;
        // the template's height includes the list, which only the template shows (checked below).
        const std::vector<int> actual = {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
        const std::vector<int> expected = {::MulDiv(row.x, base.cx, 4), ::MulDiv(row.y, base.cy, 8),
                                           ::MulDiv(row.cx, base.cx, 4),
                                           row.classOrdinal == 0x85 ? actual[3] : ::MulDiv(row.cy, base.cy, 8)};
        EXPECT_EQ(actual, expected) << "actual in dialog units: " << ::MulDiv(actual[0], 4, base.cx) << ", "
                                    << ::MulDiv(actual[1], 8, base.cy) << ", " << ::MulDiv(actual[2], 4, base.cx)
                                    << ", " << ::MulDiv(actual[3], 8, base.cy);
    }
}

TEST_F(DialogStartupTest, ProgramTemplateAndPortListResourceMatchTable)
{
    const std::vector<BYTE> dialog = ProgramResource(RT_DIALOG, 102);
    ASSERT_FALSE(dialog.empty()) << "no dialog 102 in U.S. English in " << SELFTEST_EXE;

    // DLGTEMPLATEEX: version, signature, help id, extended style, style, items, x, y, cx, cy.
    TemplateReader t(dialog);
    const std::vector<DWORD> header = {t.Word(), t.Word(), t.Dword(), t.Dword(), t.Dword(),
                                       t.Word(), t.Word(), t.Word(), t.Word(), t.Word()};
    EXPECT_EQ(header, (std::vector<DWORD>{1, 0xFFFF, 0, kDialogExStyle, kDialogStyle, kControlCount, 0, 0,
                                          (DWORD)kDialogCx, (DWORD)kDialogCy}));
    const WORD count = (WORD)header[5];
    EXPECT_EQ((std::vector<WORD>{t.Word(), t.Word()}), (std::vector<WORD>{0, 0})) << "no menu, the default class";
    const std::string caption = CDialogDriver::kCaption; // plain ASCII
    EXPECT_EQ(t.Text(), std::wstring(caption.begin(), caption.end()));
    const std::vector<DWORD> font = {t.Word(), t.Word(), t.Byte(), t.Byte()};
    EXPECT_EQ(font, (std::vector<DWORD>{8, 0, 0, 0})) << "points, weight, italic, character set";
    EXPECT_EQ(t.Text(), L"MS Shell Dlg");

    for (WORD i = 0; i < count && i < kControlCount && t.Ok(); ++i) {
        const ControlRow& row = kControls[i];
        SCOPED_TRACE("template item #" + std::to_string(i) + " (" + Utf8(row.text) + ")");
        t.AlignDword();
        // Help id, extended style, style, x, y, cx, cy, id.
        const std::vector<int> item = {(int)t.Dword(), (int)t.Dword(), (int)t.Dword(), (short)t.Word(), (short)t.Word(),
                                       (short)t.Word(), (short)t.Word(), (int)t.Dword()};
        EXPECT_EQ(item, (std::vector<int>{0, 0, (int)row.style, row.x, row.y, row.cx, row.cy, row.id}));
        std::wstring name;
        const WORD ordinal = t.NameOrOrdinal(&name);
        EXPECT_EQ(ordinal, row.classOrdinal);
        // Class names are matched without regard to case (resource compilers upper-case them).
        if (row.classOrdinal == 0) {
            EXPECT_EQ(lstrcmpiA(Utf8(name).c_str(), row.className), 0) << Utf8(name);
        }
        EXPECT_EQ(t.Text(), row.text);
        t.Skip(t.Word()); // creation data
    }
    EXPECT_TRUE(t.Ok()) << "the template ends early";

    // The initialisation data fills the port box: control id, the framework's add-string code,
    // the length with its terminating zero, the text; a zero id ends the list.
    const std::vector<BYTE> init = ProgramResource(kDialogInitType, 102);
    ASSERT_FALSE(init.empty()) << "no initialisation data 102 in U.S. English";
    TemplateReader entries(init);
    for (int n = 1; n <= 12; ++n) {
        const std::string item = "COM" + std::to_string(n);
        SCOPED_TRACE(item);
        EXPECT_EQ(entries.Word(), IDC_PORT);
        EXPECT_EQ(entries.Word(), 0x0403);
        const DWORD length = entries.Dword();
        ASSERT_EQ(length, item.size() + 1);
        std::string text;
        for (DWORD k = 0; k < length; ++k)
            text.push_back((char)entries.Byte());
        EXPECT_EQ(text, item + '\0');
    }
    EXPECT_EQ(entries.Word(), 0) << "the list ends after COM12";
    EXPECT_TRUE(entries.Ok());
}

} // namespace
