#include "baudrate_harness.h"

namespace {

const int kTabStop = 180;

} // namespace

CHarnessApp& HarnessApp()
{
    static CHarnessApp app;
    return app;
}

void BaudrateHarness::SetUp()
{
    HarnessApp();
    ::InitCommonControls();
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    HWND list = ::CreateWindowExA(0, "LISTBOX", "", WS_POPUP | LBS_NOTIFY | LBS_USETABSTOPS, 0, 0, 400, 300, nullptr,
                                  nullptr, instance, nullptr);
    HWND progress = ::CreateWindowExA(0, PROGRESS_CLASSA, "", WS_POPUP | PBS_SMOOTH, 0, 0, 200, 20, nullptr, nullptr,
                                      instance, nullptr);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(progress, nullptr);
    m_dlg.m_lstResult.Attach(list);
    m_dlg.m_progress.Attach(progress);
    m_dlg.m_lstResult.SetTabStops(1, &kTabStop);
}

void BaudrateHarness::TearDown()
{
    m_dlg.m_serial.Close();
    if (m_com != 0)
        m_cable.Command("remove " + std::to_string(m_com));
    ::DestroyWindow(m_dlg.m_lstResult.Detach());
    ::DestroyWindow(m_dlg.m_progress.Detach());
    HarnessApp().onIdle = nullptr;
    HarnessApp().idleLog = nullptr;
    HarnessApp().idleRounds = 0;
}

void BaudrateHarness::OpenCable(int com, const std::string& options)
{
    ASSERT_TRUE(m_cable.Connected()) << "the rig's cable server (CABLE_CONTROL)";
    m_cable.Command("remove " + std::to_string(com)); // left over from a crashed run, if any
    const std::string reply = m_cable.Command("add " + std::to_string(com) + " " + options);
    ASSERT_EQ(reply.compare(0, 2, "OK"), 0) << reply;
    m_com = com;
    const std::string name = "COM" + std::to_string(com);
    ASSERT_EQ(m_dlg.m_serial.Open(name.c_str(), (CWnd*)nullptr, 0, 0, 0, 0), 0) << name;
    m_dlg.m_serial.SetFlowControl(CSerialPort::FlowNone);
    m_dlg.m_serial.SetReadMode(CSerialPort::ReadUntilFull);
}

std::vector<std::string> BaudrateHarness::Lines() const
{
    std::vector<std::string> lines;
    for (int i = 0; i < m_dlg.m_lstResult.GetCount(); ++i) {
        std::string text((size_t)m_dlg.m_lstResult.GetTextLen(i) + 1, '\0');
        text.resize((size_t)m_dlg.m_lstResult.GetText(i, &text[0]));
        lines.push_back(text);
    }
    return lines;
}

void BaudrateHarness::PressStop()
{
    m_dlg.m_lstResult.AddLine("User cancelled!");
    m_dlg.m_bCancelled = true;
}

