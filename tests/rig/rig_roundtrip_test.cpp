// Proves the whole chain under Wine before anything is built on it: a Windows program opens
// the virtual cable's COM port overlapped, writes a block, and reads it back through the
// loopback; and a read with no echo ends by a bounded wait and CancelIo.
#include <windows.h>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "test_cable.h"
#include "wait_for.h"

namespace {

class RigRoundTrip : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cable.Claim("")) << cable.Error();
        port = ::CreateFileA(cable.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
        event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);

        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(::GetCommState(port, &dcb));
        ASSERT_TRUE(::BuildCommDCBA("baud=9600 parity=n data=8 stop=1", &dcb));
        ASSERT_TRUE(::SetCommState(port, &dcb));
        COMMTIMEOUTS timeouts = {};  // reads complete only when full
        ASSERT_TRUE(::SetCommTimeouts(port, &timeouts));
    }

    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            ::CloseHandle(port);
        if (event != nullptr)
            ::CloseHandle(event);
    }

    // The byte count of one overlapped transfer bounded by `timeoutMs` (the wait's result in
    // lastWait); on time-out it is cancelled and waited for, so the OVERLAPPED and buffer are free.
    DWORD Transfer(bool write, BYTE* data, DWORD size, DWORD timeoutMs = 2000)
    {
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ::ResetEvent(event);
        DWORD count = 0;
        BOOL done = write ? ::WriteFile(port, data, size, &count, &ov) : ::ReadFile(port, data, size, &count, &ov);
        if (done) {
            lastWait = WAIT_OBJECT_0;
            return count;
        }
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
        lastWait = ::WaitForSingleObject(event, timeoutMs);
        if (lastWait == WAIT_TIMEOUT) {
            ::CancelIo(port);
            ::WaitForSingleObject(event, 1000);
            EXPECT_TRUE(HasOverlappedIoCompleted(&ov)) << "cancelled request still in use";
            return 0;
        }
        ::GetOverlappedResult(port, &ov, &count, FALSE);
        return count;
    }

    CTestCable cable;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    DWORD lastWait = 0;
};

TEST_F(RigRoundTrip, BlockComesBackUnchangedAtBaudRate)
{
    std::vector<BYTE> sent(512), received(512, 0);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = (BYTE)(i * 7 + 3);

    const DWORD start = ::GetTickCount();
    ASSERT_EQ(Transfer(true, sent.data(), 512), 512u);
    ASSERT_EQ(Transfer(false, received.data(), 512), 512u);
    const DWORD elapsed = ::GetTickCount() - start;

    EXPECT_EQ(sent, received);
    // 512 bytes of 10 bits at 9600 bps take 533 ms on a real line.
    EXPECT_GE(elapsed, 500u);
    EXPECT_LE(elapsed, 1500u);

    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    EXPECT_EQ(std::make_tuple(stats.baud, stats.bits, stats.parity, stats.stop), std::make_tuple(9600ul, 8, 'N', 1));
    EXPECT_EQ(std::make_tuple(stats.in, stats.out), std::make_tuple(512ull, 512ull)) << "bytes written, echoed";
}

TEST_F(RigRoundTrip, ReadWithoutEchoEndsByBoundedWaitAndCancel)
{
    ASSERT_TRUE(cable.Request("noecho on"));
    std::vector<BYTE> block(512, 0x55), received(512, 0);

    ASSERT_EQ(Transfer(true, block.data(), 512), 512u);
    const auto elapsed = MsTaken([&] { EXPECT_EQ(Transfer(false, received.data(), 512, 300), 0u); });
    EXPECT_EQ(lastWait, (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(elapsed, 290u);
    EXPECT_LE(elapsed, 1500u);

    // The port is still usable after the cancel.
    ASSERT_TRUE(cable.Request("noecho off"));
    ASSERT_EQ(Transfer(true, block.data(), 16), 16u);
    EXPECT_EQ(Transfer(false, received.data(), 16), 16u);
}

// Without the rig's modem-line answers Wine completes an idle event wait on a pty every few
// milliseconds, which would disturb every timing in the suite.
TEST_F(RigRoundTrip, PendingEventWaitStaysQuietUntilDataArrives)
{
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR | EV_BREAK | EV_ERR));
    OVERLAPPED ov = {};
    ov.hEvent = event;
    ::ResetEvent(event);
    DWORD events = 0;
    if (!::WaitCommEvent(port, &events, &ov)) {
        ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    }
    EXPECT_EQ(::WaitForSingleObject(event, 300), (DWORD)WAIT_TIMEOUT) << "idle wait completed, events " << events;

    BYTE byte = 0x5A;
    HANDLE writeEvent = event;
    event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(Transfer(true, &byte, 1), 1u);
    const DWORD start = ::GetTickCount();
    ASSERT_EQ(::WaitForSingleObject(writeEvent, 1000), (DWORD)WAIT_OBJECT_0) << "echo did not wake the wait";
    EXPECT_LE(::GetTickCount() - start, 500u);
    DWORD unused = 0;
    ::GetOverlappedResult(port, &ov, &unused, FALSE);
    EXPECT_TRUE(events & EV_RXCHAR) << "events " << events;
    ::CloseHandle(writeEvent);
}

} // namespace
