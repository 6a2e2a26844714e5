// The shipped program on a machine whose cores are all busy (virtual cable COM81, baud-true):
// under Wine the port reports its unread bytes again and again while an echo waits in the pause
// before its read, and the pauses must still end on time.
#include "support/loopback_cable.h"
#include "support/program_test.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace
{
const DWORD kRunBoundMs = 30000;
const int kLoadedRuns = 10;

// A busy loop on every processor for as long as the object lives.
class CBusyLoops
{
public:
    CBusyLoops()
    {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        for (DWORD i = 0; i < info.dwNumberOfProcessors; ++i) {
            HANDLE thread = ::CreateThread(nullptr, 0, Spin, &m_bStop, 0, nullptr);
            if (thread != nullptr)
                m_threads.push_back(thread);
        }
    }
    ~CBusyLoops()
    {
        m_bStop = true;
        for (HANDLE thread : m_threads) {
            ::WaitForSingleObject(thread, 5000);
            ::CloseHandle(thread);
        }
    }
    size_t Count() const { return m_threads.size(); }

private:
    static DWORD WINAPI Spin(LPVOID stop)
    {
        while (!static_cast<std::atomic<bool>*>(stop)->load(std::memory_order_relaxed)) {
        }
        return 0;
    }

    std::atomic<bool> m_bStop{false};
    std::vector<HANDLE> m_threads;
};

class LoadTest : public ProgramTest
{
protected:
    // One run that must pass: its time from Start to Start enabled again.
    void PassingRun(DWORD& elapsedMs)
    {
        const DWORD start = ::GetTickCount();
        ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError() << "\n" << Join(m_driver.LogLines());
        elapsedMs = ::GetTickCount() - start;
        ASSERT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk)
            << Describe(m_driver.ReadVerdictInk());
        ASSERT_EQ(m_driver.LogLines(), PassingLog()) << Join(m_driver.LogLines());
    }
};

TEST_F(LoadTest, RunsKeepTheirPaceWithEveryCoreBusy)
{
    CLoopbackCable cable(81);
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    // The quicker of two runs: the first in a process also warms up what stays for its life.
    DWORD unloadedMs = MAXDWORD;
    for (int i = 0; i < 2; ++i) {
        DWORD elapsedMs = 0;
        ASSERT_NO_FATAL_FAILURE(PassingRun(elapsedMs));
        unloadedMs = std::min(unloadedMs, elapsedMs);
    }

    CBusyLoops load;
    ASSERT_GE(load.Count(), 1u);
    std::string times;
    for (int i = 1; i <= kLoadedRuns; ++i) {
        SCOPED_TRACE("loaded run " + std::to_string(i));
        DWORD elapsedMs = 0;
        ASSERT_NO_FATAL_FAILURE(PassingRun(elapsedMs));
        times += " " + std::to_string(elapsedMs);
        EXPECT_LE(elapsedMs, 2 * unloadedMs) << "unloaded " << unloadedMs << " ms";
    }
    std::printf("load: %zu busy loops; unloaded %lu ms; loaded runs (ms):%s\n", load.Count(), unloadedMs,
                times.c_str());
}

} // namespace
