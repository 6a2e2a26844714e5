// The virtual cable driver against what Microsoft documents for a serial driver: what a program
// sees through the Win32 comm calls on a port that a kernel-mode driver serves (Wine hands every
// call to the driver as a request packet). Each row names the behaviour it checks.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/row_name.h"
#include "test_cable.h"
#include "wait_for.h"

namespace {

const DWORD kMaxDword = MAXDWORD;

class CableDriver : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cable.Claim(SELFTEST_COM_FIRST, SELFTEST_COM_LAST, options)) << cable.Error();
        port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
        event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        waitEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }

    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            ::CloseHandle(port);
        ::CloseHandle(event);
        ::CloseHandle(waitEvent);
    }

    HANDLE Open() const
    {
        return ::CreateFileA(cable.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeConstant = 0)
    {
        COMMTIMEOUTS timeouts = {interval, multiplier, constant, 0, writeConstant};
        ASSERT_TRUE(::SetCommTimeouts(port, &timeouts)) << ::GetLastError();
    }

    // One transfer, waited for up to `boundMs`: its byte count, its Win32 result (0 on success)
    // and how long it took. A transfer still pending at the bound is cancelled and reported as
    // WAIT_TIMEOUT.
    struct Result {
        DWORD count = 0;
        DWORD error = 0;
        DWORD ms = 0;
    };
    Result Transfer(bool write, void* data, DWORD size, DWORD boundMs = 3000)
    {
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ::ResetEvent(event);
        Result result;
        const DWORD start = ::GetTickCount();
        BOOL done = write ? ::WriteFile(port, data, size, nullptr, &ov) : ::ReadFile(port, data, size, nullptr, &ov);
        if (!done && ::GetLastError() != ERROR_IO_PENDING) {
            result.error = ::GetLastError();
            return result;
        }
        if (::WaitForSingleObject(event, boundMs) == WAIT_TIMEOUT) {
            ::CancelIo(port);
            ::GetOverlappedResult(port, &ov, &result.count, TRUE);
            result.error = WAIT_TIMEOUT;
            return result;
        }
        if (!::GetOverlappedResult(port, &ov, &result.count, FALSE))
            result.error = ::GetLastError();
        result.ms = ::GetTickCount() - start;
        return result;
    }
    Result Write(const std::string& text) { return Transfer(true, (void*)text.data(), (DWORD)text.size()); }

    // Writes and waits until the echo is queued on our side.
    void Echo(const std::string& text)
    {
        ASSERT_EQ(Write(text).count, text.size());
        ASSERT_TRUE(WaitFor([&] { return InQueue() >= text.size(); }, 2000)) << "no echo of " << text;
    }

    DWORD InQueue()
    {
        COMSTAT stat = {};
        DWORD errors = 0;
        return ::ClearCommError(port, &errors, &stat) ? stat.cbInQue : kMaxDword;
    }

    // An event wait on the port: started, then finished with its events or found still pending.
    // An event wait and a read that never fills, both pending on `port`.
    void StartWaitAndRead(char* buffer, DWORD size, OVERLAPPED& ov)
    {
        SetTimeouts(0, 0, 0);
        ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
        ASSERT_TRUE(StartWait());
        ov.hEvent = event;
        ASSERT_FALSE(::ReadFile(port, buffer, size, nullptr, &ov));
    }
    bool StartWait()
    {
        waitOv = OVERLAPPED();
        waitOv.hEvent = waitEvent;
        ::ResetEvent(waitEvent);
        events = 0xDEAD;
        if (::WaitCommEvent(port, &events, &waitOv))
            ::SetEvent(waitEvent);
        else if (::GetLastError() != ERROR_IO_PENDING)
            return false;
        return true;
    }
    // The wait's Win32 result once it ended within `boundMs`; WAIT_TIMEOUT while it pends.
    DWORD WaitEnds(DWORD boundMs)
    {
        if (::WaitForSingleObject(waitEvent, boundMs) == WAIT_TIMEOUT)
            return WAIT_TIMEOUT;
        DWORD unused = 0;
        return ::GetOverlappedResult(port, &waitOv, &unused, FALSE) ? 0 : ::GetLastError();
    }
    void EndWait()
    {
        if (WaitEnds(0) == WAIT_TIMEOUT) {
            ::CancelIo(port);
            WaitEnds(2000);
        }
    }

    std::string options = "--instant"; // the cable's words; a table's fixture sets its row's
    CTestCable cable{CCableClient::Driver};
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    HANDLE waitEvent = nullptr;
    OVERLAPPED waitOv = {};
    DWORD events = 0;
};

// A table's fixture: the cable of its row's words.
template <typename Row>
class CableTable : public CableDriver, public ::testing::WithParamInterface<Row>
{
protected:
    CableTable() { options = this->GetParam().options; }
};

// ---- SERIAL_TIMEOUTS -------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    DWORD interval, multiplier, constant;
    const char* queued;    // echoed before the read
    DWORD length;
    DWORD count;           // what the read returns
    DWORD minMs, maxMs;    // when
    const char* written = ""; // written right before the read, its echo not waited for
    const char* options = "--instant";
};

const char kBridge100[] = "--instant --flavour bridge --latency 100";

const ReadCase kReads[] = {
    {"MaxIntervalNoTotalsReturnsNothingAtOnce", kMaxDword, 0, 0, "", 10, 0, 0, 150},
    {"MaxIntervalNoTotalsReturnsWhatIsThere", kMaxDword, 0, 0, "abcde", 10, 5, 0, 150},
    {"MaxIntervalAndMultiplierReturnsTheFirstBytes", kMaxDword, kMaxDword, 400, "abc", 10, 3, 0, 150},
    {"MaxIntervalAndMultiplierTimesOutEmpty", kMaxDword, kMaxDword, 300, "", 10, 0, 250, 600},
    {"TotalTimeOutReturnsWhatCame", 0, 0, 300, "abcde", 10, 5, 250, 600},
    {"TotalIsMultiplierTimesLengthPlusConstant", 0, 30, 0, "", 10, 0, 250, 600},
    {"IntervalEndsAReadOnceBytesStop", 100, 0, 0, "abcde", 10, 5, 60, 400},
    {"NoTimeOutsWaitUntilFull", 0, 0, 0, "abcdefghij", 10, 10, 0, 150},
    // A bridge's bytes reach the read when their packet does: with 10 bytes, at the latency timer.
    {"UartIntervalCountsFromTheBytes", 30, 0, 0, "", 20, 10, 0, 90, "abcdefghij"},
    {"BridgeIntervalCountsFromThePacket", 30, 0, 0, "", 20, 10, 100, 300, "abcdefghij", kBridge100},
    {"BridgeTotalEndsBeforeThePacketCame", 0, 0, 50, "", 10, 0, 30, 95, "abcde", kBridge100},
};

class ReadTimeouts : public CableTable<ReadCase> {};

TEST_P(ReadTimeouts, AsDocumented)
{
    const ReadCase& c = GetParam();
    SetTimeouts(c.interval, c.multiplier, c.constant);
    if (*c.queued)
        Echo(c.queued);
    if (*c.written) {
        ASSERT_EQ(Write(c.written).count, strlen(c.written));
    }
    std::vector<char> buffer(c.length);
    Result read = Transfer(false, buffer.data(), c.length);
    EXPECT_EQ(read.error, 0u);
    EXPECT_EQ(read.count, c.count);
    EXPECT_GE(read.ms, c.minMs);
    EXPECT_LE(read.ms, c.maxMs);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, ReadTimeouts, ::testing::ValuesIn(kReads), RowName());

// A timed-out write succeeds with a short count: on a UART what has left at the line's pace, on
// a bridge what the device's buffer (4096 bytes) took.
struct WriteTimeoutCase {
    const char* name;
    const char* options;
    const char* request;
    DWORD minCount, maxCount;
};

const WriteTimeoutCase kWriteTimeouts[] = {
    {"UartEndsWithWhatLeftAt9600", "", "pacing on", 100, 400},
    {"BridgeEndsWithWhatTheDeviceTook", "--flavour bridge", "stall on", 4096, 4096},
};

class WriteTimeouts : public CableTable<WriteTimeoutCase> {};

TEST_P(WriteTimeouts, EndAWriteWithWhatWentOut)
{
    const WriteTimeoutCase& c = GetParam();
    ASSERT_TRUE(cable.Request(c.request));
    SetTimeouts(0, 0, 0, 200);
    std::string block(6000, 'x');
    Result write = Write(block);
    EXPECT_EQ(write.error, 0u);
    EXPECT_GE(write.count, c.minCount);
    EXPECT_LE(write.count, c.maxCount);
    EXPECT_GE(write.ms, 150u);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, WriteTimeouts, ::testing::ValuesIn(kWriteTimeouts), RowName());

// ---- the transmit side -----------------------------------------------------------------------

// A 512-byte block at 9600 bps is 533 ms on the line. A UART's write, EV_TXEMPTY and a flush
// come when the last byte has left; a bridge's when the device's buffer has taken the block.
struct TransmitCase {
    const char* name;
    const char* options;
    DWORD minMs, maxMs;            // the write, EV_TXEMPTY (both seen 100 ms in at the soonest)
                                   // and FlushFileBuffers
    DWORD minOutQueue, maxOutQueue; // 100 ms into the write
};

const TransmitCase kTransmits[] = {
    {"UartWhenTheLastByteHasLeft", "", 480, 1000, 1, 511},
    {"BridgeWhenTheDeviceTookTheBlock", "--flavour bridge", 0, 250, 0, 0},
};

class Transmit : public CableTable<TransmitCase> {};

TEST_P(Transmit, OfABlockAt9600)
{
    const TransmitCase& c = GetParam();
    ASSERT_TRUE(cable.Request("pacing on"));
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(::GetCommState(port, &dcb));
    dcb.BaudRate = 9600;
    ASSERT_TRUE(::SetCommState(port, &dcb));
    ASSERT_TRUE(::SetCommMask(port, EV_TXEMPTY));
    ASSERT_TRUE(StartWait());
    static char block[512];
    OVERLAPPED ov = {};
    ov.hEvent = event;
    const DWORD start = ::GetTickCount();
    ASSERT_TRUE(::WriteFile(port, block, sizeof(block), nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING);
    ::Sleep(100);
    COMSTAT stat = {};
    DWORD errors = 0, count = 0;
    ASSERT_TRUE(::ClearCommError(port, &errors, &stat));
    EXPECT_GE(stat.cbOutQue, c.minOutQueue);
    EXPECT_LE(stat.cbOutQue, c.maxOutQueue);
    ASSERT_EQ(WaitEnds(2000), 0u);
    EXPECT_EQ(events, (DWORD)EV_TXEMPTY);
    const DWORD emptyMs = ::GetTickCount() - start;
    ASSERT_EQ(::WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    const DWORD writeMs = ::GetTickCount() - start;
    EXPECT_TRUE(::GetOverlappedResult(port, &ov, &count, FALSE));
    EXPECT_EQ(count, sizeof(block));
    for (DWORD ms : {writeMs, emptyMs}) {
        EXPECT_GE(ms, c.minMs);
        EXPECT_LE(ms, c.maxMs);
    }

    ::ResetEvent(event);
    ASSERT_TRUE(::WriteFile(port, block, sizeof(block), nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING);
    const ULONGLONG flushMs = MsTaken([&] { EXPECT_TRUE(::FlushFileBuffers(port)) << ::GetLastError(); });
    EXPECT_GE(flushMs + 20, c.minMs) << "the flush came before the write was done";
    EXPECT_LE(flushMs, c.maxMs);
    EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the flush ended before the write";

    // Closed with a block on its way: the next open finds nothing of it.
    ASSERT_TRUE(::WriteFile(port, block, sizeof(block), nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING);
    ::Sleep(100);
    ::CloseHandle(port);
    ASSERT_TRUE(WaitFor([&] { return cable.Holders() == 0; }, 2000));
    port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(::ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, Transmit, ::testing::ValuesIn(kTransmits), RowName());

// EV_TXEMPTY comes once the write that emptied the queue is done, also for a write of another
// thread (a program's main thread writes while its listener waits): Wine sets a request's result
// in the thread that issued it, so a write done at the same moment can still read as pending.
// A hundred blocks of 64 bytes at 115200 bps, each looked at when its EV_TXEMPTY comes.
struct TxEmptyCase {
    const char* name;
    const char* options;
};

const TxEmptyCase kTxEmpties[] = {
    {"UartOnceTheWriteIsDone", ""},
    {"BridgeOnceTheWriteIsDone", "--flavour bridge"},
};

class TxEmpty : public CableTable<TxEmptyCase> {};

TEST_P(TxEmpty, NeverBeforeItsWriteIsDone)
{
    ASSERT_TRUE(cable.Request("pacing on"));
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(::GetCommState(port, &dcb));
    dcb.BaudRate = 115200;
    ASSERT_TRUE(::SetCommState(port, &dcb));
    ASSERT_TRUE(::SetCommMask(port, EV_TXEMPTY));
    static char block[64];
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(StartWait());
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ::ResetEvent(event);
        std::thread writer([&] {
            DWORD written = 0;
            if (::WriteFile(port, block, sizeof(block), nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING)
                ::GetOverlappedResult(port, &ov, &written, TRUE);
        });
        const DWORD waited = WaitEnds(2000);
        DWORD written = 0;
        const DWORD writeError = ::GetOverlappedResult(port, &ov, &written, FALSE) ? 0 : ::GetLastError();
        writer.join();
        ASSERT_EQ(waited, 0u) << "block " << i;
        ASSERT_EQ(events, (DWORD)EV_TXEMPTY) << "block " << i;
        ASSERT_EQ(writeError, 0u) << "block " << i << ": its write still pending at EV_TXEMPTY";
    }
}

INSTANTIATE_TEST_SUITE_P(CableDriver, TxEmpty, ::testing::ValuesIn(kTxEmpties), RowName());

// ---- the bridge's receive side and rates ------------------------------------------------------

// What the program sees of an echo on an instant cable: the queue 10 ms after the write, after
// 600 ms, and how many event waits EV_RXCHAR ended meanwhile. A bridge hands over a packet of 62
// bytes when it has them and the rest when its latency timer runs out, one EV_RXCHAR a packet.
struct ReceiveCase {
    const char* name;
    const char* options;
    DWORD written;
    DWORD early, late;
    int events;
};

const ReceiveCase kReceives[] = {
    {"UartBytesAtOnce", "--instant", 100, 100, 100, 1},
    {"BridgeFullPacketAtOnceTheRestAtTheTimer", "--instant --flavour bridge --latency 250", 100, 62, 100, 2},
    {"BridgeFewBytesWaitForTheTimer", "--instant --flavour bridge --latency 250", 10, 0, 10, 1},
    {"BridgeThreePacketsAndTheRest", "--instant --flavour bridge --latency 250", 200, 186, 200, 2},
};

class Receive : public CableTable<ReceiveCase> {};

TEST_P(Receive, InPacketsOnABridge)
{
    const ReceiveCase& c = GetParam();
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    const std::string block(c.written, 'r');
    const DWORD start = ::GetTickCount();
    ASSERT_EQ(Write(block).count, c.written);
    ::Sleep(10);
    EXPECT_EQ(InQueue(), c.early);
    int events = 0;
    for (DWORD now = ::GetTickCount(); now - start < 600; now = ::GetTickCount()) {
        ASSERT_TRUE(StartWait());
        if (WaitEnds(600 - (now - start)) != 0)
            break;
        events += (this->events & EV_RXCHAR) != 0;
    }
    EndWait();
    EXPECT_EQ(InQueue(), c.late);
    EXPECT_EQ(events, c.events);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, Receive, ::testing::ValuesIn(kReceives), RowName());

// Any rate is taken and read back as asked; a bridge's line runs at 3 MHz over a divisor in
// eighths, the nearest it can make.
struct RateCase {
    const char* name;
    const char* options;
    DWORD asked, line;
};

const RateCase kRates[] = {
    {"UartRunsAtTheRateAsked", "", 123456, 123456},
    {"BridgeMakes9600Exactly", "--flavour bridge", 9600, 9600},
    {"BridgeRounds115200", "--flavour bridge", 115200, 115385},
    {"BridgeRoundsAnOddRate", "--flavour bridge", 123456, 123711},
    {"BridgeRoundsToItsFastest", "--flavour bridge", 3500000, 3000000},
    {"BridgeRoundsToItsSlowest", "--flavour bridge", 100, 183},
};

class Rates : public CableTable<RateCase> {};

TEST_P(Rates, TakenAndReadBackAsAsked)
{
    const RateCase& c = GetParam();
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(::GetCommState(port, &dcb));
    dcb.BaudRate = c.asked;
    ASSERT_TRUE(::SetCommState(port, &dcb)) << ::GetLastError();
    DCB read = {};
    read.DCBlength = sizeof(read);
    ASSERT_TRUE(::GetCommState(port, &read));
    EXPECT_EQ(read.BaudRate, c.asked);
    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    EXPECT_EQ(stats.line, c.line);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, Rates, ::testing::ValuesIn(kRates), RowName());

// ---- wait-on-mask ----------------------------------------------------------------------------

TEST_F(CableDriver, EventBeforeTheWaitCompletesTheNextWaitAtOnce)
{
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    Echo("a");
    ASSERT_TRUE(StartWait());
    EXPECT_EQ(WaitEnds(200), 0u);
    EXPECT_EQ(events, (DWORD)EV_RXCHAR);
}

TEST_F(CableDriver, BytesSittingQueuedRaiseNoFurtherEvent)
{
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    Echo("a");
    ASSERT_TRUE(StartWait());
    ASSERT_EQ(WaitEnds(200), 0u);
    ASSERT_TRUE(StartWait());
    EXPECT_EQ(WaitEnds(300), (DWORD)WAIT_TIMEOUT) << "EV_RXCHAR again for a byte already reported";
    Echo("b");
    EXPECT_EQ(WaitEnds(1000), 0u);
    EXPECT_EQ(events, (DWORD)EV_RXCHAR);
}

TEST_F(CableDriver, NewMaskEndsThePendingWaitWithNoEvents)
{
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    ASSERT_TRUE(StartWait());
    ASSERT_EQ(WaitEnds(100), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    EXPECT_EQ(WaitEnds(1000), 0u);
    EXPECT_EQ(events, 0u);
}

TEST_F(CableDriver, SecondWaitWhileOnePendsIsRefused)
{
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    ASSERT_TRUE(StartWait());
    OVERLAPPED second = {};
    second.hEvent = event;
    DWORD secondEvents = 0;
    EXPECT_FALSE(::WaitCommEvent(port, &secondEvents, &second));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitEnds(0), (DWORD)WAIT_TIMEOUT) << "the first wait was disturbed";
    EndWait();
}

struct LineEventCase {
    const char* name;
    DWORD mask;
    DWORD escape;          // EscapeCommFunction code, or 0 to write a byte
    DWORD events;
    DWORD modemStatus;     // GetCommModemStatus afterwards
};

// A loopback plug's modem lines: RTS to CTS, DTR to DSR and DCD.
const LineEventCase kLineEvents[] = {
    {"RtsDropsCts", EV_CTS | EV_DSR, CLRRTS, EV_CTS, MS_DSR_ON | MS_RLSD_ON},
    {"DtrDropsDsrAndDcd", EV_CTS | EV_DSR | EV_RLSD, CLRDTR, EV_DSR | EV_RLSD, MS_CTS_ON},
    {"WrittenByteEmptiesTheQueue", EV_TXEMPTY, 0, EV_TXEMPTY, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
    {"BreakComesBack", EV_BREAK, SETBREAK, EV_BREAK, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
};

class LineEvents : public CableDriver, public ::testing::WithParamInterface<LineEventCase> {};

TEST_P(LineEvents, ReachTheWait)
{
    const LineEventCase& c = GetParam();
    ASSERT_TRUE(::EscapeCommFunction(port, SETRTS));
    ASSERT_TRUE(::EscapeCommFunction(port, SETDTR));
    ASSERT_TRUE(::SetCommMask(port, c.mask));
    ASSERT_TRUE(StartWait());
    if (c.escape)
        ASSERT_TRUE(::EscapeCommFunction(port, c.escape));
    else
        ASSERT_EQ(Write("z").count, 1u);
    EXPECT_EQ(WaitEnds(1000), 0u);
    EXPECT_EQ(events, c.events);
    DWORD status = 0;
    EXPECT_TRUE(::GetCommModemStatus(port, &status));
    EXPECT_EQ(status, c.modemStatus);
    ::EscapeCommFunction(port, CLRBREAK);
    EndWait();
}

INSTANTIATE_TEST_SUITE_P(CableDriver, LineEvents, ::testing::ValuesIn(kLineEvents), RowName());

// ---- purge, cancel, cleanup ------------------------------------------------------------------

TEST_F(CableDriver, PurgeEmptiesEachQueue)
{
    Echo("abcdef");
    ASSERT_TRUE(cable.Request("stall on"));
    // The write pends on a stalled line and the output queue counts what it holds.
    OVERLAPPED ov = {};
    ov.hEvent = event;
    ASSERT_FALSE(::WriteFile(port, "ghij", 4, nullptr, &ov));
    COMSTAT stat = {};
    DWORD errors = 0;
    ASSERT_TRUE(::ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 6u);
    EXPECT_EQ(stat.cbOutQue, 4u);
    ASSERT_TRUE(::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_TXABORT));
    ASSERT_TRUE(::ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    DWORD count = 0;
    EXPECT_EQ(::WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the write still pends";
    EXPECT_FALSE(::GetOverlappedResult(port, &ov, &count, FALSE));
}

struct EndCase {
    const char* name;
    BOOL (*end)(HANDLE port);
    DWORD error;           // what the pending read and wait end with
};

const EndCase kEnds[] = {
    {"CancelIo", [](HANDLE port) { return ::CancelIo(port); }, ERROR_OPERATION_ABORTED},
    {"PurgeAbort", [](HANDLE port) { return ::PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT); }, ERROR_OPERATION_ABORTED},
};

class PendingRequests : public CableDriver, public ::testing::WithParamInterface<EndCase> {};

TEST_P(PendingRequests, EndWithoutHanging)
{
    const EndCase& c = GetParam();
    SetTimeouts(0, 0, 0);
    char buffer[16];
    OVERLAPPED ov = {};
    ov.hEvent = event;
    ASSERT_FALSE(::ReadFile(port, buffer, sizeof(buffer), nullptr, &ov));
    ASSERT_EQ(::GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(c.end(port));
    ASSERT_EQ(::WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the read still pends";
    DWORD count = 0;
    EXPECT_FALSE(::GetOverlappedResult(port, &ov, &count, FALSE));
    EXPECT_EQ(::GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, PendingRequests, ::testing::ValuesIn(kEnds), RowName());

TEST_F(CableDriver, CloseEndsEveryPendingRequest)
{
    char buffer[16];
    OVERLAPPED ov = {};
    ASSERT_NO_FATAL_FAILURE(StartWaitAndRead(buffer, sizeof(buffer), ov));
    ::CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(::WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the read still pends";
    EXPECT_EQ(::WaitForSingleObject(waitEvent, 2000), WAIT_OBJECT_0) << "the wait still pends";
    EXPECT_TRUE(WaitFor([&] { return cable.Holders() == 0; }, 2000));
    port = Open();
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "the port was not released";
}

// ---- open, settings, the maker's request -----------------------------------------------------

TEST_F(CableDriver, SecondHandleGetsNoAccess)
{
    // Wine gives the handle before the driver refuses the open, so the refusal shows at the
    // handle's first request; on Windows CreateFile itself fails with the same code.
    HANDLE second = Open();
    DWORD error = ::GetLastError();
    if (second != INVALID_HANDLE_VALUE) {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        EXPECT_FALSE(::GetCommState(second, &dcb));
        error = ::GetLastError();
        ::CloseHandle(second);
    }
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Write("still mine").count, 10u) << "the first handle lost the port";
}

TEST_F(CableDriver, SettingsComeBackAsSetAndReachTheLine)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(::GetCommState(port, &dcb));
    ASSERT_TRUE(::BuildCommDCBA("baud=57600 parity=e data=7 stop=2", &dcb));
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(::SetCommState(port, &dcb));
    DCB read = {};
    read.DCBlength = sizeof(read);
    ASSERT_TRUE(::GetCommState(port, &read));
    EXPECT_EQ(read.BaudRate, 57600u);
    EXPECT_EQ(read.ByteSize, 7);
    EXPECT_EQ(read.Parity, EVENPARITY);
    EXPECT_EQ(read.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(read.fOutxCtsFlow);
    ASSERT_TRUE(::SetupComm(port, 8192, 8192));
    COMMPROP prop = {};
    ASSERT_TRUE(::GetCommProperties(port, &prop));
    EXPECT_EQ(prop.dwCurrentRxQueue, 8192u);
    dcb.ByteSize = 8;
    dcb.StopBits = ONE5STOPBITS;
    EXPECT_FALSE(::SetCommState(port, &dcb)) << "1.5 stop bits with 8 data bits";
    Echo("x");
    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    EXPECT_EQ(stats.settings.back(), "57600-7E2-rtscts");
}

struct ProbeCase {
    const char* name;
    const char* options;
    DWORD inSize, outSize;
    DWORD error;           // 0: answered
};

const ProbeCase kProbes[] = {
    {"MakersCableAnswers", "", 18, 18, 0},
    {"MakersCableRefusesShortInput", "", 17, 18, ERROR_INVALID_PARAMETER},
    {"MakersCableRefusesLongOutput", "", 18, 32, ERROR_INVALID_PARAMETER},
    {"PlainPortDoesNotKnowTheCode", "--plain", 18, 18, ERROR_INVALID_FUNCTION},
};

class MakersRequest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(MakersRequest, AnsweredOnlyByTheMakersCable)
{
    const ProbeCase& c = GetParam();
    CTestCable probed(CCableClient::Driver);
    ASSERT_TRUE(probed.Claim(SELFTEST_COM_FIRST, SELFTEST_COM_LAST, c.options)) << probed.Error();
    HANDLE port = ::CreateFileA(probed.Path().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    char buffer[32] = {};
    DWORD returned = 0;
    BOOL ok = ::DeviceIoControl(port, 0x222000, buffer, c.inSize, buffer, c.outSize, &returned, nullptr);
    DWORD error = ok ? 0 : ::GetLastError();
    ::CloseHandle(port);
    EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, MakersRequest, ::testing::ValuesIn(kProbes), RowName());

// ---- the cable pulled ------------------------------------------------------------------------

// What pending and later requests fail with after a pull: by default STATUS_DELETE_PENDING
// (ERROR_ACCESS_DENIED), or the code the cable's driver is known for.
struct RemovalCase {
    const char* name;
    const char* options;
    DWORD error;
};

const RemovalCase kRemovals[] = {
    {"DeletePendingByDefault", "--instant", ERROR_ACCESS_DENIED},
    {"AccessDenied", "--instant --removal-code 5", ERROR_ACCESS_DENIED},
    {"BadCommand", "--instant --removal-code 22", ERROR_BAD_COMMAND},
    {"GenFailure", "--instant --removal-code 31", ERROR_GEN_FAILURE},
    {"Aborted", "--instant --removal-code 995", ERROR_OPERATION_ABORTED},
    {"BridgeGenFailure", "--instant --flavour bridge --removal-code 31", ERROR_GEN_FAILURE},
};

class PulledCable : public CableTable<RemovalCase> {};

TEST_P(PulledCable, FailsPendingAndLaterRequestsWithItsCode)
{
    const DWORD removed = GetParam().error;
    char buffer[16];
    OVERLAPPED ov = {};
    ASSERT_NO_FATAL_FAILURE(StartWaitAndRead(buffer, sizeof(buffer), ov));
    ASSERT_TRUE(cable.Pull());

    DWORD count = 0;
    ASSERT_EQ(::WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the read still pends";
    EXPECT_FALSE(::GetOverlappedResult(port, &ov, &count, FALSE));
    EXPECT_EQ(::GetLastError(), removed);
    EXPECT_EQ(WaitEnds(2000), removed);
    EXPECT_EQ(Write("late").error, removed);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    EXPECT_FALSE(::GetCommState(port, &dcb));
    EXPECT_EQ(::GetLastError(), removed);
    EXPECT_EQ(::CreateFileA(cable.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE) << "the port's name outlived the cable";

    EXPECT_EQ(cable.Holders(), 1);
    ::CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(WaitFor([&] { return cable.Holders() == 0; }, 2000)) << "the pulled port is still held";
    ASSERT_TRUE(cable.Plug());
    port = Open();
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "the port did not come back";
    Echo("back");
}

INSTANTIATE_TEST_SUITE_P(CableDriver, PulledCable, ::testing::ValuesIn(kRemovals), RowName());

// ---- the other fault switches ----------------------------------------------------------------

// Each switch on either flavour: the flavour's words, then the switch's.
struct SwitchCase {
    const char* name;
    const char* options;
};

class Switch : public CableTable<SwitchCase> {};

class StickyWait : public Switch {};

TEST_P(StickyWait, OutlivesThePullAMaskAndCancelIoUntilTheClose)
{
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    ASSERT_TRUE(StartWait());
    ASSERT_TRUE(cable.Pull());
    EXPECT_EQ(WaitEnds(300), (DWORD)WAIT_TIMEOUT) << "the pull ended the wait";
    EXPECT_FALSE(::SetCommMask(port, EV_RXCHAR));
    EXPECT_EQ(WaitEnds(300), (DWORD)WAIT_TIMEOUT) << "a mask ended the wait";
    ::CancelIo(port);
    EXPECT_EQ(WaitEnds(300), (DWORD)WAIT_TIMEOUT) << "CancelIo ended the wait";
    ::CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(::WaitForSingleObject(waitEvent, 2000), WAIT_OBJECT_0) << "the close left the wait pending";
}

INSTANTIATE_TEST_SUITE_P(CableDriver, StickyWait,
                         ::testing::Values(SwitchCase{"Uart", "--instant --sticky-wait"},
                                           SwitchCase{"Bridge", "--instant --flavour bridge --sticky-wait"}),
                         RowName());

// The last handle of a pulled port is let go of 1500 ms after its close (CloseHandle itself
// returns at once under Wine, which does not wait for the driver's close).
class SlowClose : public Switch {};

TEST_P(SlowClose, HoldsThePulledPortForItsTime)
{
    ASSERT_TRUE(cable.Pull());
    const DWORD start = ::GetTickCount();
    ::CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    ::Sleep(300);
    EXPECT_EQ(cable.Holders(), 1) << "let go of at once";
    EXPECT_TRUE(WaitFor([&] { return cable.Holders() == 0; }, 3000)) << "never let go of";
    EXPECT_GE(::GetTickCount() - start, 1400u);
    ASSERT_TRUE(cable.Plug());
    port = Open();
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "the port did not come back";
}

INSTANTIATE_TEST_SUITE_P(CableDriver, SlowClose,
                         ::testing::Values(SwitchCase{"Uart", "--instant --slow-close 1500"},
                                           SwitchCase{"Bridge", "--instant --flavour bridge --slow-close 1500"}),
                         RowName());

// A cable removed with its port open, and a new one added on its number: the old handle's
// close, at once or slow, is not a let-go of the new cable's handles.
class NextCable : public Switch {};

TEST_P(NextCable, CountsOnlyItsOwnHandles)
{
    ASSERT_TRUE(cable.Replace(GetParam().options));
    HANDLE next = Open();
    ASSERT_NE(next, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    ASSERT_TRUE(cable.Pull());
    ::CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    ::Sleep(600);
    EXPECT_EQ(cable.Holders(), 1) << "the gone cable's handle was let go of from this one";
    ::CloseHandle(next);
    EXPECT_TRUE(WaitFor([&] { return cable.Holders() == 0; }, 2000)) << "never let go of";
}

INSTANTIATE_TEST_SUITE_P(CableDriver, NextCable,
                         ::testing::Values(SwitchCase{"Close", "--instant"},
                                           SwitchCase{"SlowClose", "--instant --slow-close 300"}),
                         RowName());

// An overlapped WaitCommEvent fails at once with 87; on a synchronous handle the wait works.
class WaitRefused : public Switch {};

TEST_P(WaitRefused, ForAnOverlappedHandle)
{
    ASSERT_TRUE(::SetCommMask(port, EV_RXCHAR));
    EXPECT_FALSE(StartWait());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ::CloseHandle(port);
    ASSERT_TRUE(WaitFor([&] { return cable.Holders() == 0; }, 2000));
    port = ::CreateFileA(cable.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(::SetCommMask(port, EV_TXEMPTY));
    DWORD written = 0, seen = 0;
    ASSERT_TRUE(::WriteFile(port, "w", 1, &written, nullptr));
    EXPECT_TRUE(::WaitCommEvent(port, &seen, nullptr)) << ::GetLastError();
    EXPECT_EQ(seen, (DWORD)EV_TXEMPTY);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, WaitRefused,
                         ::testing::Values(SwitchCase{"Uart", "--instant --wait-refused"},
                                           SwitchCase{"Bridge", "--instant --flavour bridge --wait-refused"}),
                         RowName());

// The second SetCommState after an open fails with 31 and changes nothing; the others work.
class SetStateFails : public Switch {};

TEST_P(SetStateFails, OnTheKthCallAfterAnOpen)
{
    const DWORD rates[] = {19200, 38400, 57600};
    const BOOL worked[] = {TRUE, FALSE, TRUE};
    const DWORD readBack[] = {19200, 19200, 57600};
    for (int call = 0; call < 3; ++call) {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(::GetCommState(port, &dcb));
        dcb.BaudRate = rates[call];
        ::SetLastError(0);
        EXPECT_EQ(::SetCommState(port, &dcb), worked[call]) << "call " << call + 1;
        if (!worked[call]) {
            EXPECT_EQ(::GetLastError(), (DWORD)ERROR_GEN_FAILURE);
        }
        ASSERT_TRUE(::GetCommState(port, &dcb));
        EXPECT_EQ(dcb.BaudRate, readBack[call]) << "call " << call + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(CableDriver, SetStateFails,
                         ::testing::Values(SwitchCase{"Uart", "--instant --setstate-fails 2"},
                                           SwitchCase{"Bridge", "--instant --flavour bridge --setstate-fails 2"}),
                         RowName());

// A port whose open takes 800 ms: Wine's CreateFile does not wait for the driver, so the time
// shows at the handle's first request, here the maker's request that discovery sends.
struct SlowOpenCase {
    const char* name;
    const char* options;
    DWORD minMs, maxMs;
};

const SlowOpenCase kSlowOpens[] = {
    {"PlainPortAtOnce", "--plain", 0, 300},
    {"SlowPlainPort", "--plain --slow-open 800", 700, 2000},
    {"SlowBridge", "--flavour bridge --slow-open 800", 700, 2000},
};

class SlowOpen : public ::testing::TestWithParam<SlowOpenCase> {};

TEST_P(SlowOpen, TakesItsTimeBeforeTheFirstAnswer)
{
    const SlowOpenCase& c = GetParam();
    CTestCable slow(CCableClient::Driver);
    ASSERT_TRUE(slow.Claim(SELFTEST_COM_FIRST, SELFTEST_COM_LAST, c.options)) << slow.Error();
    char buffer[18] = {};
    DWORD returned = 0;
    const ULONGLONG ms = MsTaken([&] {
        HANDLE port = ::CreateFileA(slow.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ::DeviceIoControl(port, 0x222000, buffer, sizeof(buffer), buffer, sizeof(buffer), &returned, nullptr);
        ::CloseHandle(port);
    });
    EXPECT_GE(ms, c.minMs);
    EXPECT_LE(ms, c.maxMs);
}

INSTANTIATE_TEST_SUITE_P(CableDriver, SlowOpen, ::testing::ValuesIn(kSlowOpens), RowName());

} // namespace
