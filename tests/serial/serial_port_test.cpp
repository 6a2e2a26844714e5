// CSerialPort on the virtual cable under Wine, and through the Win32 seam for the failures a
// pty cannot produce.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "api_ledger.h"
#include "test_cable.h"
#include "wait_for.h"
#include "serial/device_path.h"
#include "serial/serial_port.h"
#include "serial/serial_wnd_port.h"

namespace {

const LONG kInvalidArg = static_cast<LONG>(0x80070057L);

class CProbePort : public CSerialPort
{
public:
    using CSerialPort::m_dwEventsOccurred;
    using CSerialPort::m_hIoEvent;
    using CSerialPort::m_hPort;
    using CSerialPort::m_nLastError;
};

std::vector<BYTE> Pattern(size_t size, BYTE first)
{
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<BYTE>(first + i * 7);
    return bytes;
}

// A port on a freshly claimed cable that echoes at once.
class PortOnCable : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(cable.Claim(CableOptions())) << cable.Error(); }
    virtual std::string CableOptions() { return "--instant"; }

    // Write `bytes` and read them back whole within 2 s.
    void ExpectEcho(const std::vector<BYTE>& bytes)
    {
        DWORD count = 0;
        ASSERT_EQ(0, port.Write(bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr, 2000));
        EXPECT_EQ(bytes.size(), count);
        std::vector<BYTE> back(bytes.size());
        ASSERT_EQ(0, port.SetReadMode(CSerialPort::ReadUntilFull));
        ASSERT_EQ(0, port.Read(back.data(), static_cast<DWORD>(back.size()), &count, nullptr, 2000));
        EXPECT_EQ(bytes.size(), count);
        EXPECT_EQ(bytes, back);
    }

    CTestCable cable;
    CProbePort port;
};

// The same with the port open, overlapped.
class OpenPort : public PortOnCable
{
protected:
    void SetUp() override
    {
        PortOnCable::SetUp();
        ASSERT_EQ(0, port.Open(cable.Name().c_str(), 0, 0, true));
    }
};

// ---- The name a user types and the path that opens it --------------------------------------

TEST(DevicePath, BareComNamesAndOnlyThoseGetTheDevicePrefix)
{
    const auto expect = [](const std::string& name, bool prefixed) {
        SCOPED_TRACE("name \"" + name + '"');
        char path[64];
        std::memset(path, '#', sizeof path);
        EXPECT_EQ(prefixed, MakeDevicePath(name.c_str(), path, sizeof path));
        EXPECT_EQ(prefixed ? "\\\\.\\" + name : name, path);
    };
    for (auto name : {"COM1", "COM10", "com12", "CoM123456", "COM0"})
        expect(name, true);
    for (auto name : {"\\\\.\\COM10", "COM", "COM1:", "COMA", " COM1", "COM-1", "NUL", "LPT1", "C:\\temp\\COM1", ""})
        expect(name, false);
}

TEST_F(PortOnCable, OpenReachesBareNamesThroughThePrefixAndAsksDefaultsByPlainName)
{
    for (const std::string& name : {cable.Name(), cable.Path()}) {
        SCOPED_TRACE(name);
        CApiLedger ledger;
        CProbePort probe;
        EXPECT_EQ(0, probe.Open(name.c_str(), 0, 0, true));
        EXPECT_EQ(cable.Path(), ledger.NameGiven("CreateFileA"));
        EXPECT_EQ(name, ledger.NameGiven("GetDefaultCommConfigA")) << "the defaults are asked by the name given";
    }
}

TEST(SerialPortName, NameTooLongForAPathIsRefusedBeforeAnyCall)
{
    CApiLedger ledger;
    CProbePort probe;
    const std::string name = "COM" + std::string(MAX_PATH, '7');
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, probe.Open(name.c_str(), 0, 0, true));
    EXPECT_EQ(0, ledger.Count("CreateFileA"));
    EXPECT_EQ(nullptr, probe.m_hPort);
}

TEST(SerialPortName, Com10OpensOnlyThroughThePrefixAndOpenFindsIt)
{
    CTestCable cable10;
    ASSERT_TRUE(cable10.Claim(10, 10)) << "COM10 is taken or no cable server";
    // Without the prefix the system does not find it: what Open has to get around.
    HANDLE bare = ::CreateFileA("COM10", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, bare);
    if (bare != INVALID_HANDLE_VALUE)
        ::CloseHandle(bare);

    for (const char* name : {"COM10", "com10", "\\\\.\\COM10"}) {
        SCOPED_TRACE(name);
        CProbePort probe;
        EXPECT_EQ(0, probe.Open(name, 0, 0, true));
        EXPECT_NE(nullptr, probe.m_hPort);
    }
}

// ---- Failures of Open, and what each leaves behind ------------------------------------------

TEST_F(PortOnCable, EveryFailedOpenReleasesWhatItCreatedInReverseAndLeavesItClosed)
{
    struct Case { const char* call; bool overlapped; DWORD code; size_t created; };
    const Case cases[] = {
        {"CreateFileA", true, ERROR_ACCESS_DENIED, 0},
        {"CreateEventA", true, ERROR_NO_SYSTEM_RESOURCES, 1},
        {"SetupComm", true, ERROR_INVALID_PARAMETER, 2},
        {"SetupComm", false, ERROR_INVALID_PARAMETER, 1},
        {"SetCommMask", true, ERROR_NOT_SUPPORTED, 2},
        {"GetCommTimeouts", true, ERROR_GEN_FAILURE, 2},
        {"SetCommTimeouts", false, ERROR_GEN_FAILURE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + (c.overlapped ? " overlapped" : " synchronous"));
        // Wine's CloseHandle does not wait for a driver's close: the last case's handles are
        // let go of once the cable says so.
        ASSERT_TRUE(WaitFor([&] { return cable.Holders() <= 0; }, 2000));
        CApiLedger ledger;
        CProbePort probe;
        ledger.Fail(c.call, c.code);
        EXPECT_EQ(static_cast<LONG>(c.code), probe.Open(cable.Name().c_str(), 4096, 4096, c.overlapped));
        EXPECT_EQ(static_cast<LONG>(c.code), probe.m_nLastError);
        EXPECT_EQ(nullptr, probe.m_hPort);
        EXPECT_EQ(nullptr, probe.m_hIoEvent);
        EXPECT_EQ(c.created, ledger.Created().size());
        EXPECT_EQ(ledger.CreatedInReverse(), ledger.Closed());
        // Nothing reaches a device that failed to open.
        EXPECT_EQ(0, ledger.Count("SetCommState") + ledger.Count("SetCommConfig") + ledger.Count("WriteFile"));
        // Not stuck: the next Open finds the object free.
        ASSERT_TRUE(WaitFor([&] { return cable.Holders() <= 0; }, 2000));
        EXPECT_EQ(0, probe.Open(cable.Name().c_str(), 4096, 4096, c.overlapped));
    }
}

// Wine keeps stored defaults only for COM1-COM9, so the record is supplied here.
BOOL WINAPI StoredDefaults1200(LPCSTR, LPCOMMCONFIG config, LPDWORD size)
{
    if (*size < sizeof(COMMCONFIG) || config->dwSize != sizeof(COMMCONFIG))
        return FALSE;
    config->dcb.DCBlength = sizeof(DCB);
    config->dcb.BaudRate = 1200;
    config->dcb.ByteSize = 8;
    config->dcb.fBinary = 1;
    return TRUE;
}

TEST_F(PortOnCable, StoredDefaultsAreAppliedAndTheirFailureIgnored)
{
    struct Case { const char* failing; DWORD baud; int setCommConfigCalls; };
    const Case cases[] = {{nullptr, 1200, 1}, {"SetCommConfig", 9600, 1}, {"GetDefaultCommConfigA", 9600, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing ? c.failing : "none failing");
        ASSERT_EQ(0, port.Open(cable.Name().c_str(), 0, 0, true));
        ASSERT_EQ(0, port.Configure(9600, 8, NOPARITY, ONESTOPBIT));
        ASSERT_EQ(0, port.Close());
        CApiLedger ledger;
        ledger.m_real.GetDefaultCommConfigA = StoredDefaults1200;
        if (c.failing)
            ledger.Fail(c.failing, ERROR_GEN_FAILURE);
        EXPECT_EQ(0, port.Open(cable.Name().c_str(), 0, 0, true));
        EXPECT_EQ(c.baud, port.QueryBaudRate());
        EXPECT_EQ(c.setCommConfigCalls, ledger.Count("SetCommConfig"));
        port.Close();
    }
}

TEST_F(PortOnCable, QueueSizesReachTheDriverOnlyWhenOneIsGiven)
{
    struct Case { DWORD in, out; int calls; };
    const Case cases[] = {{0, 0, 0}, {4096, 0, 1}, {0, 2048, 1}, {4096, 4096, 1}};
    for (const Case& c : cases) {
        CApiLedger ledger;
        CProbePort probe;
        EXPECT_EQ(0, probe.Open(cable.Name().c_str(), c.in, c.out, true));
        EXPECT_EQ(c.calls, ledger.Count("SetupComm")) << c.in << "/" << c.out;
    }
}

TEST(SerialPortNotADevice, FileAndNulFailToOpenStayClosedAndAreNeverWritten)
{
    char dir[MAX_PATH], file[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathA(MAX_PATH, dir));
    ASSERT_NE(0u, ::GetTempFileNameA(dir, "spt", 0, file));
    { std::ofstream(file, std::ios::binary) << "untouched"; }

    for (const char* name : {static_cast<const char*>(file), "NUL"}) {
        SCOPED_TRACE(name);
        CApiLedger ledger;
        CProbePort probe;
        const LONG code = probe.Open(name, 0, 0, true);
        EXPECT_NE(0, code);
        EXPECT_NE(ERROR_ALREADY_INITIALIZED, code);
        EXPECT_EQ(nullptr, probe.m_hPort);
        EXPECT_EQ(nullptr, probe.m_hIoEvent);
        EXPECT_EQ(ERROR_INVALID_HANDLE, probe.WriteText("garbage", nullptr, nullptr, 2000));
        EXPECT_EQ(0, ledger.Count("WriteFile"));
        EXPECT_EQ(ledger.CreatedInReverse(), ledger.Closed());
    }
    std::string content;
    std::getline(std::ifstream(file, std::ios::binary), content);
    EXPECT_EQ("untouched", content);
    ::DeleteFileA(file);
}

TEST(SerialPortMissingDevice, OpenGivesTheSystemCodeAndHoldsNothing)
{
    CProbePort probe;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, probe.Open("COM97", 0, 0, true));
    EXPECT_EQ(nullptr, probe.m_hPort);
    EXPECT_EQ(nullptr, probe.m_hIoEvent);
}

// ---- A closed object ------------------------------------------------------------------------

TEST(SerialPortClosed, EveryOperationReportsInvalidHandleAndQueriesTheirFailureValue)
{
    CProbePort probe;
    EXPECT_EQ(0, probe.Close());
    struct Case { const char* what; std::function<long long()> call; long long expected; };
    BYTE buffer[8];
    DWORD count = 99;
    const Case cases[] = {
        {"Configure", [&] { return probe.Configure(9600, 8, NOPARITY, ONESTOPBIT); }, ERROR_INVALID_HANDLE},
        {"SetEventCharacter", [&] { return probe.SetEventCharacter('x', true); }, ERROR_INVALID_HANDLE},
        {"SetEventMask", [&] { return probe.SetEventMask(EV_RXCHAR); }, ERROR_INVALID_HANDLE},
        {"WaitForEvent", [&] { return probe.WaitForEvent(nullptr, 100); }, ERROR_INVALID_HANDLE},
        {"SetFlowControl", [&] { return probe.SetFlowControl(CSerialPort::FlowNone); }, ERROR_INVALID_HANDLE},
        {"SetReadMode", [&] { return probe.SetReadMode(CSerialPort::ReadUntilFull); }, ERROR_INVALID_HANDLE},
        {"QueryBaudRate", [&] { return static_cast<long long>(probe.QueryBaudRate()); }, 0xFFFFFFFFll},
        {"QueryDataBits", [&] { return probe.QueryDataBits(); }, -1},
        {"QueryParity", [&] { return probe.QueryParity(); }, -1},
        {"QueryStopBits", [&] { return probe.QueryStopBits(); }, -1},
        {"QueryFlowControl", [&] { return probe.QueryFlowControl(); }, -1},
        {"QueryEventMask", [&] { return probe.QueryEventMask(); }, 0},
        {"QueryEventCharacter", [&] { return probe.QueryEventCharacter(); }, 0},
        {"WriteText", [&] { return probe.WriteText("x", &count, nullptr, 100); }, ERROR_INVALID_HANDLE},
        {"Write", [&] { return probe.Write(buffer, 8, &count, nullptr, 100); }, ERROR_INVALID_HANDLE},
        {"Read", [&] { return probe.Read(buffer, 8, &count, nullptr, 100); }, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        probe.m_nLastError = 12345;
        count = 99;
        EXPECT_EQ(c.expected, c.call());
        EXPECT_EQ(ERROR_INVALID_HANDLE, probe.m_nLastError);
        const bool counts = std::strncmp(c.what, "Write", 5) == 0 || std::strcmp(c.what, "Read") == 0;
        EXPECT_EQ(counts ? 0u : 99u, count) << "the count is cleared before any check";
    }
    EXPECT_EQ(0, probe.Close());
}

// ---- Settings: read-modify-write of the driver's records ------------------------------------

// A driver record in which every field has a value no setter would choose.
DCB OddRecord()
{
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return dcb;
}

TEST_F(OpenPort, SettersChangeOnlyTheirOwnFieldsOfTheDriverRecord)
{
    struct Case { const char* what; std::function<LONG()> set; std::function<void(DCB&)> expect; };
    const Case cases[] = {
        {"Configure 57600 7E2", [&] { return port.Configure(57600, 7, EVENPARITY, TWOSTOPBITS); },
         [](DCB& d) { d.BaudRate = 57600; d.ByteSize = 7; d.Parity = EVENPARITY; d.StopBits = TWOSTOPBITS; d.fParity = 1; }},
        {"Configure 9600 8N1", [&] { return port.Configure(9600, 8, NOPARITY, ONESTOPBIT); },
         [](DCB& d) { d.BaudRate = 9600; d.ByteSize = 8; d.Parity = NOPARITY; d.StopBits = ONESTOPBIT; d.fParity = 0; }},
        {"FlowNone", [&] { return port.SetFlowControl(CSerialPort::FlowNone); },
         [](DCB& d) { d.fOutxCtsFlow = 0; d.fOutxDsrFlow = 0; d.fDtrControl = DTR_CONTROL_DISABLE; d.fOutX = 0; d.fInX = 0; d.fRtsControl = RTS_CONTROL_DISABLE; }},
        {"FlowHardware", [&] { return port.SetFlowControl(CSerialPort::FlowHardware); },
         [](DCB& d) { d.fOutxCtsFlow = 1; d.fOutxDsrFlow = 1; d.fDtrControl = DTR_CONTROL_HANDSHAKE; d.fOutX = 0; d.fInX = 0; d.fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {"FlowXonXoff", [&] { return port.SetFlowControl(CSerialPort::FlowXonXoff); },
         [](DCB& d) { d.fOutxCtsFlow = 0; d.fOutxDsrFlow = 0; d.fDtrControl = DTR_CONTROL_DISABLE; d.fOutX = 1; d.fInX = 1; d.fRtsControl = RTS_CONTROL_DISABLE; }},
        {"SetEventCharacter", [&] { return port.SetEventCharacter('\n', false); },
         [](DCB& d) { d.EvtChar = '\n'; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CApiLedger ledger;
        ledger.FakeCommState(OddRecord());
        EXPECT_EQ(0, c.set());
        DCB expected = OddRecord();
        c.expect(expected);
        const DCB written = ledger.CommState();
        EXPECT_EQ(0, std::memcmp(&expected, &written, sizeof expected));
        EXPECT_EQ(1, ledger.Count("SetCommState"));
    }
}

TEST_F(OpenPort, QueriesDecodeTheDriverRecord)
{
    const auto flow = &CSerialPort::QueryFlowControl;
    const auto parity = &CSerialPort::QueryParity;
    const auto handshake = [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; d.fRtsControl = RTS_CONTROL_HANDSHAKE; };
    struct Case { const char* what; int (CSerialPort::*query)(); int expected; std::function<void(DCB&)> state; };
    const Case cases[] = {
        {"DTR and RTS handshake only", flow, CSerialPort::FlowHardware, handshake},
        {"handshake beats XON/XOFF", flow, CSerialPort::FlowHardware,
         [&](DCB& d) { handshake(d); d.fOutX = d.fInX = 1; }},
        {"CTS and DSR without handshake", flow, CSerialPort::FlowNone,
         [&](DCB& d) { handshake(d); d.fDtrControl = DTR_CONTROL_ENABLE; d.fOutxCtsFlow = d.fOutxDsrFlow = 1; }},
        {"XON/XOFF both ways", flow, CSerialPort::FlowXonXoff, [](DCB& d) { d.fOutX = d.fInX = 1; }},
        {"XON/XOFF one way", flow, CSerialPort::FlowNone, [](DCB& d) { d.fOutX = 1; }},
        {"parity byte without fParity", parity, NOPARITY, [](DCB& d) { d.Parity = EVENPARITY; }},
        {"mark parity", parity, MARKPARITY, [](DCB& d) { d.Parity = MARKPARITY; d.fParity = 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CApiLedger ledger;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        c.state(dcb);
        ledger.FakeCommState(dcb);
        EXPECT_EQ(c.expected, (port.*c.query)());
        EXPECT_EQ(0, port.m_nLastError);
    }
}

TEST_F(OpenPort, FailingSettersWriteNothingBackAndReportTheFirstFault)
{
    struct Case { const char* what; const char* failing; std::function<LONG()> call; LONG expected; const char* notCalled; };
    const Case cases[] = {
        {"Configure", "GetCommState", [&] { return port.Configure(9600, 8, NOPARITY, ONESTOPBIT); }, ERROR_GEN_FAILURE, "SetCommState"},
        {"FlowControl out of range", nullptr, [&] { return port.SetFlowControl(static_cast<CSerialPort::FlowControl>(3)); }, kInvalidArg, "SetCommState"},
        {"FlowControl, record unreadable", "GetCommState", [&] { return port.SetFlowControl(static_cast<CSerialPort::FlowControl>(3)); }, ERROR_GEN_FAILURE, "SetCommState"},
        {"FlowControl negative", nullptr, [&] { return port.SetFlowControl(static_cast<CSerialPort::FlowControl>(-1)); }, kInvalidArg, "SetCommState"},
        {"ReadMode out of range", nullptr, [&] { return port.SetReadMode(static_cast<CSerialPort::ReadMode>(2)); }, kInvalidArg, "SetCommTimeouts"},
        {"ReadMode far out", nullptr, [&] { return port.SetReadMode(static_cast<CSerialPort::ReadMode>(0x7FFFFFFF)); }, kInvalidArg, "SetCommTimeouts"},
        {"ReadMode, record unreadable", "GetCommTimeouts", [&] { return port.SetReadMode(static_cast<CSerialPort::ReadMode>(2)); }, ERROR_GEN_FAILURE, "SetCommTimeouts"},
        {"EventCharacter", "GetCommState", [&] { return port.SetEventCharacter('x', true); }, ERROR_GEN_FAILURE, "SetCommMask"},
        {"Configure refused", "SetCommState", [&] { return port.Configure(57600, 8, NOPARITY, ONESTOPBIT); }, ERROR_GEN_FAILURE, nullptr},
    };
    ASSERT_EQ(0, port.Configure(9600, 8, NOPARITY, ONESTOPBIT));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CApiLedger ledger;
        if (c.failing)
            ledger.Fail(c.failing, ERROR_GEN_FAILURE);
        EXPECT_EQ(c.expected, c.call());
        EXPECT_EQ(c.expected, port.m_nLastError);
        if (c.notCalled) {
            EXPECT_EQ(0, ledger.Count(c.notCalled));
        }
        if (c.failing) {
            EXPECT_EQ(1, ledger.Count(c.failing)) << "a refused call is not tried again";
        }
    }
    EXPECT_EQ(9600u, port.QueryBaudRate()) << "a refused setting is not reported as the line's";

    // A failed query keeps the code in the last error.
    CApiLedger ledger;
    ledger.Fail("GetCommState", ERROR_GEN_FAILURE);
    EXPECT_EQ(0xFFFFFFFFu, port.QueryBaudRate());
    EXPECT_EQ(ERROR_GEN_FAILURE, port.m_nLastError);
}

// Only an enumeration with a fixed underlying type takes E{int}; that also makes every int a
// value of it, so an out-of-range kind or mode is a value the setters can refuse, not undefined.
template <typename E, typename = void> struct TakesAnyInt : std::false_type {};
template <typename E> struct TakesAnyInt<E, decltype(void(E{0}))> : std::true_type {};

TEST(SerialPortEnumerations, EveryIntIsAValueSoTheRefusalOfOneOutOfRangeIsDefined)
{
    EXPECT_TRUE(TakesAnyInt<CSerialPort::FlowControl>::value);
    EXPECT_TRUE(TakesAnyInt<CSerialPort::ReadMode>::value);
}

TEST_F(OpenPort, FailedMaskKeepsTheOldOneAndEventCharacterStillLandsWithTheMaskCodeOrKeepsTheNewMask)
{
    CApiLedger ledger;
    ledger.Fail("SetCommMask", ERROR_GEN_FAILURE);
    EXPECT_EQ(ERROR_GEN_FAILURE, port.SetEventMask(EV_RXCHAR));
    EXPECT_EQ(CSerialPort::kDefaultEventMask, port.QueryEventMask());

    ledger.Fail("SetCommMask", ERROR_GEN_FAILURE);
    EXPECT_EQ(ERROR_GEN_FAILURE, port.SetEventCharacter('x', true));
    EXPECT_EQ(1, ledger.Count("SetCommState"));
    EXPECT_EQ(CSerialPort::kDefaultEventMask, port.QueryEventMask());

    // The one setter that writes before it can fail: a refused character keeps the new mask.
    ledger.Fail("SetCommState", ERROR_GEN_FAILURE);
    EXPECT_EQ(ERROR_GEN_FAILURE, port.SetEventCharacter('x', true));
    EXPECT_EQ(CSerialPort::kDefaultEventMask | EV_RXFLAG, port.QueryEventMask());
}

TEST_F(OpenPort, OpenSetsTheDefaultMaskAndReadModeAndTheSettersChangeThem)
{
    EXPECT_EQ(0xC1u, port.QueryEventMask());
    COMMTIMEOUTS timeouts = {};
    ASSERT_TRUE(::GetCommTimeouts(port.m_hPort, &timeouts));
    EXPECT_EQ(MAXDWORD, timeouts.ReadIntervalTimeout);
    EXPECT_EQ(0u, timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(0u, timeouts.ReadTotalTimeoutConstant);

    ASSERT_EQ(0, port.SetReadMode(CSerialPort::ReadUntilFull));
    ASSERT_TRUE(::GetCommTimeouts(port.m_hPort, &timeouts));
    EXPECT_EQ(0u, timeouts.ReadIntervalTimeout);
    // An invalid mode changes nothing.
    EXPECT_EQ(kInvalidArg, port.SetReadMode(static_cast<CSerialPort::ReadMode>(2)));
    ASSERT_TRUE(::GetCommTimeouts(port.m_hPort, &timeouts));
    EXPECT_EQ(0u, timeouts.ReadIntervalTimeout);

    ASSERT_EQ(0, port.SetEventMask(EV_RXCHAR | EV_ERR));
    EXPECT_EQ(0, port.SetEventCharacter('\r', true));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_ERR | EV_RXFLAG), port.QueryEventMask());
}

// The rig's pty takes only 8N1; other framings are shown on a supplied record above.
TEST_F(OpenPort, LineSettingsAndFlowControlReachTheLine)
{
    // Wine reports no DTR or RTS handshake back, so there hardware flow reads back as none.
    const bool onWine = ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    bool hardwareUnread = false;
    struct Case { DWORD baud; CSerialPort::FlowControl flow; const char* line; };
    const Case cases[] = {
        {9600, CSerialPort::FlowXonXoff, "9600-8N1-xonxoff"},
        {57600, CSerialPort::FlowHardware, "57600-8N1-rtscts"},
        {115200, CSerialPort::FlowNone, "115200-8N1-none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(0, port.Configure(c.baud, 8, NOPARITY, ONESTOPBIT));
        EXPECT_EQ(0, port.SetFlowControl(c.flow));
        EXPECT_EQ(c.baud, port.QueryBaudRate());
        EXPECT_EQ(8, port.QueryDataBits());
        EXPECT_EQ(NOPARITY, port.QueryParity());
        EXPECT_EQ(ONESTOPBIT, port.QueryStopBits());
        const int readBack = port.QueryFlowControl();
        if (onWine && c.flow == CSerialPort::FlowHardware && readBack == CSerialPort::FlowNone) {
            hardwareUnread = true;
        } else {
            EXPECT_EQ(c.flow, readBack);
        }
        EXPECT_EQ(kInvalidArg, port.SetFlowControl(static_cast<CSerialPort::FlowControl>(3)));
        EXPECT_EQ(readBack, port.QueryFlowControl()) << "an invalid kind changes nothing";
        // The cable settles on a setting after 20 ms without changes.
        std::string line;
        WaitFor([&] {
            CCableClient::Stats stats;
            line = cable.GetStats(stats) && !stats.settings.empty() ? stats.settings.back() : "no stats";
            return line == c.line;
        }, 2000, 10);
        EXPECT_EQ(c.line, line);
    }
    if (hardwareUnread)
        GTEST_SKIP() << "hardware flow reached the line, but Wine reads it back as none: the read-back "
                        "of FlowHardware is shown only on Windows";
}

// ---- Transfers ------------------------------------------------------------------------------

TEST_F(OpenPort, SecondOpenIsRefusedAndTheFirstHandleKeepsWorking)
{
    const HANDLE first = port.m_hPort;
    EXPECT_EQ(ERROR_ALREADY_INITIALIZED, port.Open(cable.Name().c_str(), 0, 0, false));
    EXPECT_EQ(first, port.m_hPort);
    ExpectEcho(Pattern(64, 3));
}

// Wine 8 lets an overlapped read in this mode pend until a byte arrives, so the mode is
// shown on a synchronous port.
TEST_F(PortOnCable, ReadImmediateWithNothingReceivedReturnsAtOnce)
{
    ASSERT_EQ(0, port.Open(cable.Name().c_str(), 0, 0, false));
    BYTE buffer[512];
    DWORD count = 99;
    EXPECT_LT(MsTaken([&] { EXPECT_EQ(0, port.Read(buffer, sizeof buffer, &count, nullptr, INFINITE)); }), 1000u);
    EXPECT_EQ(0u, count);
}

TEST_F(OpenPort, NullCountPointersTransferAndReportNothing)
{
    const std::vector<BYTE> bytes = Pattern(32, 9);
    EXPECT_EQ(0, port.Write(bytes.data(), 32, nullptr, nullptr, 2000));
    ASSERT_EQ(0, port.SetReadMode(CSerialPort::ReadUntilFull));
    std::vector<BYTE> back(32);
    EXPECT_EQ(0, port.Read(back.data(), 32, nullptr, nullptr, 2000));
    EXPECT_EQ(bytes, back);
    DWORD count = 0;
    EXPECT_EQ(0, port.WriteText("abc", &count, nullptr, 2000));
    EXPECT_EQ(3u, count) << "the terminating zero is not sent";
}

// Open, on a cable that echoes only the first 100 bytes.
class PortOnSilentCable : public OpenPort
{
protected:
    std::string CableOptions() override { return "--instant --echo-only 100"; }
};

TEST_F(PortOnSilentCable, PartialEchoTimesOutWithCountZeroAndTheNextReadWorks)
{
    ASSERT_EQ(0, port.SetReadMode(CSerialPort::ReadUntilFull));
    const std::vector<BYTE> block = Pattern(512, 1);
    DWORD count = 0;
    ASSERT_EQ(0, port.Write(block.data(), 512, &count, nullptr, 2000));
    ASSERT_EQ(512u, count);
    std::vector<BYTE> back(512);
    count = 99;
    const auto elapsed = MsTaken([&] { EXPECT_EQ(ERROR_TIMEOUT, port.Read(back.data(), 512, &count, nullptr, 2000)); });
    EXPECT_EQ(0u, count);
    EXPECT_GE(elapsed, 1990u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_NE(nullptr, port.m_hPort) << "a timed-out request leaves the port open";

    ASSERT_TRUE(cable.Request("echo-only none"));
    ::PurgeComm(port.m_hPort, PURGE_RXCLEAR);  // whatever the cancelled read left
    ExpectEcho(Pattern(100, 50));
}

TEST_F(PortOnSilentCable, WaitForEventTimesOutAndThenSeesArrivingBytes)
{
    EXPECT_GE(MsTaken([&] { EXPECT_EQ(ERROR_TIMEOUT, port.WaitForEvent(nullptr, 300)); }), 290u);
    EXPECT_NE(nullptr, port.m_hPort);

    port.m_dwEventsOccurred = 0;
    EXPECT_EQ(0, port.WriteText("ping", nullptr, nullptr, 2000));
    EXPECT_EQ(0, port.WaitForEvent(nullptr, 2000));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), port.m_dwEventsOccurred & EV_RXCHAR);
}

TEST_F(OpenPort, CallersOverlappedPendsWithCountZeroOrCompletesWithItsEventSignalled)
{
    ASSERT_EQ(0, port.SetReadMode(CSerialPort::ReadUntilFull));
    OVERLAPPED reading = {}, writing = {};
    reading.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writing.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<BYTE> back(16);
    DWORD count = 99;
    EXPECT_LT(MsTaken([&] { EXPECT_EQ(0, port.Read(back.data(), 16, &count, &reading, 2000)); }), 1000u)
        << "the caller's request is not waited for";
    EXPECT_EQ(0u, count);
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(reading.hEvent, 0));

    // A write completes at once on the cable: its event must be signalled all the same.
    const std::vector<BYTE> bytes = Pattern(16, 77);
    EXPECT_EQ(0, port.Write(bytes.data(), 16, &count, &writing, 0));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(writing.hEvent, count == 16 ? 0 : 2000));

    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(reading.hEvent, 2000));
    ASSERT_TRUE(::GetOverlappedResult(port.m_hPort, &reading, &count, FALSE));
    EXPECT_EQ(16u, count);
    EXPECT_EQ(bytes, back);
    ::CloseHandle(reading.hEvent);
    ::CloseHandle(writing.hEvent);
}

TEST_F(PortOnCable, SynchronousPortRefusesOverlappedAndBoundsButTransfersWithout)
{
    ASSERT_EQ(0, port.Open(cable.Name().c_str(), 0, 0, false));
    EXPECT_EQ(nullptr, port.m_hIoEvent);
    const std::vector<BYTE> bytes = Pattern(8, 20);
    DWORD count = 0;
    ASSERT_EQ(0, port.Write(bytes.data(), 8, &count, nullptr, INFINITE));
    EXPECT_EQ(8u, count);
    ASSERT_TRUE(WaitFor([&] {
        COMSTAT status = {};
        return ::ClearCommError(port.m_hPort, nullptr, &status) && status.cbInQue >= 8;
    }, 2000)) << "the echo did not arrive";

    std::vector<BYTE> back(8);
    OVERLAPPED overlapped = {};
    struct Case { const char* what; std::function<LONG()> call; };
    const Case cases[] = {
        {"Read with a bound", [&] { return port.Read(back.data(), 8, &count, nullptr, 2000); }},
        {"Read with an OVERLAPPED", [&] { return port.Read(back.data(), 8, &count, &overlapped, INFINITE); }},
        {"Write with a bound", [&] { return port.Write(bytes.data(), 8, &count, nullptr, 2000); }},
        {"WriteText with an OVERLAPPED", [&] { return port.WriteText("x", &count, &overlapped, INFINITE); }},
        {"WaitForEvent with a bound", [&] { return port.WaitForEvent(nullptr, 100); }},
        {"WaitForEvent with an OVERLAPPED", [&] { return port.WaitForEvent(&overlapped, INFINITE); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        count = 99;
        EXPECT_EQ(ERROR_INVALID_FUNCTION, c.call());
        EXPECT_EQ(std::strncmp(c.what, "WaitForEvent", 12) == 0 ? 99u : 0u, count);
    }
    // The refused requests took nothing: the echo is still there for a synchronous read.
    ASSERT_EQ(0, port.SetReadMode(CSerialPort::ReadUntilFull));
    EXPECT_EQ(0, port.Read(back.data(), 8, &count, nullptr, INFINITE));
    EXPECT_EQ(8u, count);
    EXPECT_EQ(bytes, back);
}

// ---- Cancellation of a timed-out request ----------------------------------------------------

std::atomic<DWORD> g_cancelDelayMs{0};

// Lets the cancelled request go only g_cancelDelayMs after CancelIo returned, from another
// thread as a slow driver would; INFINITE: never.
BOOL WINAPI LateCancelIo(HANDLE port)
{
    if (g_cancelDelayMs != INFINITE)
        std::thread([port] { ::Sleep(g_cancelDelayMs); ::CancelIoEx(port, nullptr); }).detach();
    return TRUE;
}

TEST_F(PortOnSilentCable, TimedOutReadReturnsOnlyAfterItsRequestHasFinished)
{
    ASSERT_EQ(0, port.SetReadMode(CSerialPort::ReadUntilFull));
    struct Case { const char* what; DWORD cancelDelayMs; ULONGLONG minMs; bool staysOpen; size_t closed; };
    const Case cases[] = {
        // Returning sooner would leave the cancelled read free to write.
        {"a cancellation that finishes late keeps the port", 400, 590, true, 0},
        // Closing the event and the port, after the grace.
        {"a request that ignores CancelIo is ended by closing its port", INFINITE, 1190, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CApiLedger ledger;
        g_cancelDelayMs = c.cancelDelayMs;
        ledger.m_real.CancelIo = LateCancelIo;
        std::vector<BYTE> back(64);
        DWORD count = 99;
        const auto elapsed =
            MsTaken([&] { EXPECT_EQ(ERROR_TIMEOUT, port.Read(back.data(), 64, &count, nullptr, 200)); });
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LT(elapsed, 5000u);
        EXPECT_EQ(0u, count);
        EXPECT_EQ(c.staysOpen, port.m_hPort != nullptr);
        EXPECT_EQ(c.closed, ledger.Closed().size());
    }
    EXPECT_EQ(0, port.Open(cable.Name().c_str(), 0, 0, true));
}

// ---- Requests the driver holds on to --------------------------------------------------------

// Stands in for the port's driver (every ReadFile and WaitCommEvent here is the port's, and
// overlapped): they pend until the row's script ends them, writing what a driver writes (the
// buffer, the status, the event, which it holds a reference of its own to). It notes every such
// write into memory the caller had already got back: its buffer, or the frame of the Read it called.
class CHeldRequests
{
public:
    enum End { EndLater, EndAtClose, EndNever };
    enum Cancel { CancelIgnored, CancelHonoured, CancelSignalsFirst };
    static const BYTE kDataFirst = 1;  // what a completed read delivers: Pattern(size, kDataFirst)
    static const DWORD kLaterMs = 100;
    static const LONG kCancelled = static_cast<LONG>(0xC0000120L); // STATUS_CANCELLED

    struct Script
    {
        End end;             // how a Read's request ends by itself
        bool signalAtIssue;  // its event is signalled while it still pends
        Cancel cancel;
        bool firstAtOnce;    // the row's first Read completes at once, whatever `end` says
    };

    CHeldRequests(CApiLedger& ledger, const Script& script) : m_script(script)
    {
        g_held = this;
        ledger.m_real.ReadFile = ReadFile;
        ledger.m_real.WaitCommEvent = WaitCommEvent;
        ledger.m_real.CancelIo = CancelIo;
        ledger.m_real.CloseHandle = CloseHandle;
    }
    ~CHeldRequests()
    {
        for (std::thread& timer : m_timers)
            timer.join();
        g_held = nullptr;
    }

    // The Read has returned: its buffer, and the frame of its caller (below a local there), are
    // the caller's again.
    void Returned(void* buffer, const void* frameTop)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_callerBuffer = buffer;
        m_frameTop = static_cast<const char*>(frameTop);
        m_callerThread = ::GetCurrentThreadId();
    }
    // Ends whatever is still held, as a driver that finally lets go would.
    void EndAll()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        while (!m_held.empty())
            EndLocked(m_held.front().id, kCancelled);
    }
    int WritesIntoReleased() const { return m_nWritesIntoReleased; }

private:
    struct Held { int id; OVERLAPPED* overlapped; BYTE* buffer; DWORD size; DWORD* events; HANDLE event; DWORD thread;
                  bool endsAtClose; };

    static BOOL WINAPI ReadFile(HANDLE port, LPVOID buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped)
    {
        CHeldRequests& self = *g_held;
        self.m_port = port;
        if (self.m_script.firstAtOnce && self.m_nReads++ == 0) {
            FillData(static_cast<BYTE*>(buffer), size);
            overlapped->InternalHigh = size;
            overlapped->Internal = 0;
            *count = size;
            return TRUE;
        }
        const int id = self.Hold(overlapped, static_cast<BYTE*>(buffer), size, nullptr);
        if (self.m_script.signalAtIssue)
            ::SetEvent(overlapped->hEvent);
        if (self.m_script.end == EndLater)
            self.EndAfter(kLaterMs, id, 0);
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }

    // The listener's wait: it ignores the re-applied mask.
    static BOOL WINAPI WaitCommEvent(HANDLE port, LPDWORD events, LPOVERLAPPED overlapped)
    {
        g_held->m_port = port;
        g_held->Hold(overlapped, nullptr, 0, events);
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }

    static BOOL WINAPI CancelIo(HANDLE)
    {
        CHeldRequests& self = *g_held;
        std::lock_guard<std::mutex> hold(self.m_lock);
        for (const Held& held : self.m_held) {
            if (held.thread != ::GetCurrentThreadId() || self.m_script.cancel == CancelIgnored)
                continue;
            if (self.m_script.cancel == CancelHonoured) {
                self.EndLocked(held.id, kCancelled);
                break;
            }
            // The event now, the status only later.
            ::SetEvent(held.event);
            self.EndAfter(300, held.id, kCancelled);
        }
        return TRUE;
    }

    static BOOL WINAPI CloseHandle(HANDLE handle)
    {
        CHeldRequests& self = *g_held;
        const BOOL closed = ::CloseHandle(handle);
        if (handle == self.m_port) {
            std::lock_guard<std::mutex> hold(self.m_lock);
            for (size_t i = self.m_held.size(); i-- > 0;)
                if (self.m_held[i].endsAtClose)
                    self.EndLocked(self.m_held[i].id, kCancelled);
            self.m_port = nullptr;
        }
        return closed;
    }

    static void FillData(BYTE* buffer, DWORD size)
    {
        std::memcpy(buffer, Pattern(size, kDataFirst).data(), size);
    }

    void EndAfter(DWORD ms, int id, LONG status)
    {
        m_timers.emplace_back([this, ms, id, status] {
            ::Sleep(ms);
            std::lock_guard<std::mutex> hold(m_lock);
            EndLocked(id, status);
        });
    }

    // An event wait, as the listener's, always ends with the port handle.
    int Hold(OVERLAPPED* overlapped, BYTE* buffer, DWORD size, DWORD* events)
    {
        const bool endsAtClose = events || m_script.end == EndAtClose;
        const HANDLE event = Duplicate(overlapped->hEvent);
        overlapped->Internal = STATUS_PENDING;
        std::lock_guard<std::mutex> hold(m_lock);
        m_held.push_back({++m_nLastId, overlapped, buffer, size, events, event, ::GetCurrentThreadId(), endsAtClose});
        return m_nLastId;
    }

    // Ends held request `id`, if it still is; a cancelled read has moved half its bytes.
    void EndLocked(int id, LONG status)
    {
        const auto it = std::find_if(m_held.begin(), m_held.end(), [id](const Held& h) { return h.id == id; });
        if (it == m_held.end())
            return;
        const Held held = *it;
        m_held.erase(it);
        const bool byCaller = m_frameTop && held.thread == m_callerThread;
        const char* where = reinterpret_cast<const char*>(held.overlapped);
        const bool inGoneFrame = byCaller && where < m_frameTop && where > m_frameTop - 256 * 1024;
        if (inGoneFrame || (byCaller && held.buffer && held.buffer == m_callerBuffer))
            ++m_nWritesIntoReleased;
        const DWORD moved = status == 0 ? held.size : held.size / 2;
        if (held.buffer && status == 0)
            FillData(held.buffer, moved);
        else if (held.buffer)
            std::memset(held.buffer, 0xEE, moved);
        if (held.events)
            *held.events = 0;
        // A frame that has gone is not written: the count above is the finding.
        if (!inGoneFrame) {
            held.overlapped->InternalHigh = moved;
            ::InterlockedExchangePointer(reinterpret_cast<PVOID*>(&held.overlapped->Internal),
                                         reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(status))));
        }
        ::SetEvent(held.event);
        ::CloseHandle(held.event);
    }

    static inline CHeldRequests* g_held = nullptr;

    const Script m_script;
    std::mutex m_lock;
    std::vector<Held> m_held;
    std::vector<std::thread> m_timers;
    std::atomic<HANDLE> m_port{nullptr};
    int m_nLastId = 0;
    int m_nReads = 0;
    int m_nWritesIntoReleased = 0;
    void* m_callerBuffer = nullptr;
    const char* m_frameTop = nullptr;
    DWORD m_callerThread = 0;
};

TEST_F(PortOnCable, ReadReturnsWithinItsBoundAndNoHeldRequestWritesMemoryTheCallerGotBack)
{
    using H = CHeldRequests;
    const BYTE kGuard = 0x5A;
    // maxWaits: the bound of the Read's WaitForSingleObject calls, 0 when not counted.
    struct Case { const char* what; bool listening; H::Script script; LONG code; bool staysOpen;
                  DWORD minMs, maxMs; int maxWaits; };
    const Case cases[] = {
        {"ignores the cancel, ends with the port handle", false, {H::EndAtClose, false, H::CancelIgnored, false},
         ERROR_TIMEOUT, false, 1150, 4000, 0},
        {"ignores the cancel, never ends", false, {H::EndNever, false, H::CancelIgnored, false},
         ERROR_TIMEOUT, false, 2150, 5000, 0},
        {"signalled while it still pends", false, {H::EndNever, true, H::CancelHonoured, false},
         ERROR_IO_INCOMPLETE, true, 0, 1000, 0},
        {"cancel signals before the status ends", false, {H::EndNever, false, H::CancelSignalsFirst, false},
         ERROR_TIMEOUT, true, 450, 1500, 100},
        {"event left signalled by the last request", false, {H::EndLater, false, H::CancelHonoured, true},
         0, true, H::kLaterMs - 10, 1000, 0},
        // The listener's wait also ignores the re-applied mask and ends only with the port handle.
        {"listening, ignores the cancel, ends with the port handle", true,
         {H::EndAtClose, false, H::CancelIgnored, false}, ERROR_TIMEOUT, false, 2150, 5000, 0},
        {"listening, ignores the cancel, never ends", true, {H::EndNever, false, H::CancelIgnored, false},
         ERROR_TIMEOUT, false, 3150, 6000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CApiLedger ledger;
        H driver(ledger, c.script);
        CSerialWndPort listener;
        CSerialPort plain;
        CSerialPort& target = c.listening ? listener : plain;
        ASSERT_EQ(0, c.listening ? listener.Open(cable.Name().c_str(), static_cast<CWnd*>(nullptr), 0, 0, 0, 0)
                                 : plain.Open(cable.Name().c_str(), 0, 0, true));
        std::vector<BYTE> buffer(64, kGuard);
        DWORD count = 99;
        if (c.script.firstAtOnce) {
            EXPECT_EQ(0, target.Read(buffer.data(), 64, &count, nullptr, 2000));
            std::fill(buffer.begin(), buffer.end(), kGuard);
        }
        const int frameTop = 0;
        const int waitsBefore = ledger.Count("WaitForSingleObject");
        const auto elapsed = MsTaken([&] { EXPECT_EQ(c.code, target.Read(buffer.data(), 64, &count, nullptr, 200)); });
        driver.Returned(buffer.data(), &frameTop);
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LT(elapsed, c.maxMs);
        if (c.maxWaits) {
            EXPECT_LT(ledger.Count("WaitForSingleObject") - waitsBefore, c.maxWaits)
                << "the wait for a signalled but pending request spun";
        }
        EXPECT_EQ(c.staysOpen, target.QueryEventMask() != 0);
        EXPECT_LT(MsTaken([&] { EXPECT_EQ(0, target.Close()); }), 1500u);
        driver.EndAll();
        EXPECT_EQ(0, driver.WritesIntoReleased());
        EXPECT_EQ(c.code == 0 ? 64u : 0u, count);
        EXPECT_EQ(c.code == 0 ? Pattern(64, H::kDataFirst) : std::vector<BYTE>(64, kGuard), buffer)
            << "a failed Read changed the caller's buffer, or a good one delivered the wrong bytes";
    }
}

} // namespace
