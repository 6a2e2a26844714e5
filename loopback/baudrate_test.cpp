#include "loopback/baudrate_test.h"

#include <cstdio>
#include <cstring>

#include "app/selftest_dlg.h"
#include "framework/win_app.h"

using namespace baudrate_test;

namespace baudrate_test {

namespace {

// Constant-initialised, so it is in its start state before any code of the process runs.
CTestDataGenerator g_testData;

} // namespace

unsigned char DataMask(unsigned char dataBits)
{
    unsigned int mask = 0x01;
    for (unsigned int bit = 0; bit < dataBits && bit < 8; ++bit)
        mask |= 1u << bit;
    return (unsigned char)mask;
}

CTestDataGenerator& TestDataGenerator()
{
    return g_testData;
}

int ElapsedMs(DWORD start, DWORD now)
{
    // Modulo 2^32 and then signed: a wrap of the tick counter between the two readings
    // neither lengthens nor shortens a wait.
    return (int)(now - start);
}

} // namespace baudrate_test

bool CSelfTestDlg::RunBaudrateTest()
{
    m_progress.SetRange(0, (short)kRateCount);
    m_progress.SetStep(1);
    m_progress.SetPos(0);
    m_lstResult.AddLine("=== Begin Baudrate Test ===");
    for (const unsigned long rate : kBaudRates) {
        if (!WaitResponsive(kRatePauseMs))
            return false;
        // A rate the driver refused leaves the line at the one before, where a loopback plug
        // passes just as well: the cable would pass untested at this rate, so the step fails.
        const bool rateSet = m_serial.Configure(rate, kDataBits, NOPARITY, ONESTOPBIT) == 0;
        char line[64];
        std::snprintf(line, sizeof(line), rateSet ? "Set baud rate to %lu bps...OK!" : "Set baud rate to %lu bps...FAILED!",
                      rate);
        m_lstResult.AddLine(line);
        if (!rateSet)
            return false;
        if (!TestBlockTransfer(kDataBits))
            return false;
        if (!WaitResponsive(kRatePauseMs))
            return false;
        if (!TestBlockTransfer(kDataBits))
            return false;
        m_progress.StepIt();
    }
    m_lstResult.AddLine("=== End Baudrate Test ===");
    return true;
}

bool CSelfTestDlg::TestBlockTransfer(unsigned char dataBits)
{
    // Both blocks live in this frame: they exist on every path and go when the check returns.
    // The port's Read and Write run their requests on memory of the port's own, so the system
    // never writes into these once the calls have returned.
    unsigned char sendBlock[kBlockSize];
    unsigned char receiveBlock[kBlockSize];

    const unsigned char mask = DataMask(dataBits);
    CTestDataGenerator& testData = TestDataGenerator();
    for (unsigned char& byte : sendBlock)
        byte = (unsigned char)(testData.Next() & mask);

    DWORD bytesWritten = 0;
    m_serial.Write(sendBlock, kBlockSize, &bytesWritten, nullptr, kTransferTimeoutMs);
    char head[32];
    std::snprintf(head, sizeof(head), "Write %d bytes...", (int)kBlockSize);
    char line[80];
    // A short write does not end the check: what comes back decides it.
    std::snprintf(line, sizeof(line), bytesWritten == kBlockSize ? "%s [%ld/%d] OK!" : "%s [%ld/%d] FAILED!", head,
                  (long)bytesWritten, (int)kBlockSize);
    m_lstResult.AddLine(line);

    // A Stop ends this pause early, but the check goes on: the bytes are on their way back, so
    // it reads them.
    WaitResponsive(kEchoPauseMs);

    DWORD bytesRead = 0;
    m_serial.Read(receiveBlock, kBlockSize, &bytesRead, nullptr, kTransferTimeoutMs);
    if (bytesRead != kBlockSize) {
        std::snprintf(line, sizeof(line), "Connect port read [%ld/%d] FAILED!", (long)bytesRead, (int)kBlockSize);
        m_lstResult.AddLine(line);
        return false;
    }
    const bool equal = std::memcmp(sendBlock, receiveBlock, kBlockSize) == 0;
    m_lstResult.AddLine(equal ? "Compare data...OK!" : "Compare data...FAILED!");
    return equal;
}

bool CSelfTestDlg::WaitResponsive(int milliseconds)
{
    const DWORD start = ::GetTickCount();
    // The log's new lines are drawn here, at the start of the pause that follows them (the log
    // takes them with redrawing off): a queued paint waits for an empty queue, and under Wine a
    // port with unread bytes keeps the queue full.
    m_lstResult.SetRedraw(TRUE);
    m_lstResult.Invalidate();
    m_lstResult.UpdateWindow();
    if (!PumpMessages())
        return false;
    for (;;) {
        if (m_bCancelled)
            return false;
        if (ElapsedMs(start, ::GetTickCount()) > milliseconds) {
            // A pass leaves what came in while it ran to the next one, and the time may have
            // run out meanwhile: one more pass, so that a Stop clicked at the very end of the
            // pause still ends the run here.
            if (!PumpMessages())
                return false;
            return !m_bCancelled;
        }
        if (!PumpMessages())
            return false;
    }
}

bool CSelfTestDlg::PumpMessages()
{
    CWinApp* app = AfxGetApp();
    // A pass handles what was queued when it began, told by the post time each message carries;
    // later arrivals wait for the next pass, after the pause has read the clock. Under Wine a
    // port with unread bytes reports them again and again, thousands of times a second, and a
    // pass that waited for an empty queue would not end while this thread is short of CPU.
    // The first message is always handled (paint and timer messages are stamped when they are
    // retrieved), and so is the quit, which ends the pass anyway. Idle work waits for a pass
    // that leaves the queue empty.
    const DWORD passStart = ::GetTickCount();
    MSG msg;
    for (bool first = true; ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); first = false) {
        if (!first && msg.message != WM_QUIT && ElapsedMs(passStart, msg.time) > 0)
            return true;
        if (!app->PumpMessage()) {
            // The quit belongs to the application's own loop: leave one there for it.
            ::PostQuitMessage(0);
            return false;
        }
    }
    for (LONG idleCount = 0; app->OnIdle(idleCount); ++idleCount) {
    }
    return true;
}
