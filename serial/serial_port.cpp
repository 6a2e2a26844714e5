#include "serial/serial_port.h"

#include "serial/device_path.h"
#include "serial/serial_api.h"

namespace {

const LONG kInvalidArg = static_cast<LONG>(0x80070057L);

// The six DCB fields that flow control owns, one row per FlowControl value; every other field
// keeps what the driver reported.
struct FlowFields
{
    DWORD outxCtsFlow, outxDsrFlow, dtrControl, outX, inX, rtsControl;
};
const FlowFields kFlowFields[] = {
    /* FlowNone     */ { 0, 0, DTR_CONTROL_DISABLE, 0, 0, RTS_CONTROL_DISABLE },
    /* FlowHardware */ { 1, 1, DTR_CONTROL_HANDSHAKE, 0, 0, RTS_CONTROL_HANDSHAKE },
    /* FlowXonXoff  */ { 0, 0, DTR_CONTROL_DISABLE, 1, 1, RTS_CONTROL_DISABLE },
};

LONG LastError()
{
    return static_cast<LONG>(::GetLastError());
}

} // namespace

CSerialPort::~CSerialPort()
{
    if (m_hPort)
        CSerialPort::Close();
    ReleaseOwnRequest();
}

LONG CSerialPort::Open(const char* device, DWORD inQueue, DWORD outQueue, bool overlapped)
{
    m_nLastError = 0;
    if (m_hPort)
        return Store(ERROR_ALREADY_INITIALIZED);

    char devicePath[MAX_PATH];
    const char* openName = device;
    if (MakeDevicePath(device, devicePath, sizeof devicePath)) {
        // A cut path could name another port.
        if (::lstrlenA(devicePath) != ::lstrlenA(device) + 4)
            return Store(ERROR_FILENAME_EXCED_RANGE);
        openName = devicePath;
    }

    HANDLE port = g_serialApi.CreateFileA(openName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return Store(LastError());
    m_hPort = port;

    if (overlapped) {
        m_hIoEvent = g_serialApi.CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!m_hIoEvent) {
            const LONG code = LastError();
            g_serialApi.CloseHandle(m_hPort);
            m_hPort = nullptr;
            return Store(code);
        }
    }

    if (inQueue != 0 || outQueue != 0) {
        if (!g_serialApi.SetupComm(m_hPort, inQueue, outQueue)) {
            const LONG code = LastError();
            Close();
            return Store(code);
        }
    }

    // A handle that is not a serial port (a file, "NUL") fails here; it must not stay open,
    // or every later Open would find the object busy.
    LONG code = SetEventMask(kDefaultEventMask);
    if (code == 0)
        code = SetReadMode(ReadImmediate);
    if (code != 0) {
        Close();
        return Store(code);
    }

    // The stored defaults are a courtesy: a port without them is still usable.
    COMMCONFIG config = {};
    config.dwSize = sizeof config;
    DWORD configSize = sizeof config;
    if (g_serialApi.GetDefaultCommConfigA(device, &config, &configSize))
        g_serialApi.SetCommConfig(m_hPort, &config, configSize);

    return Store(0);
}

LONG CSerialPort::Close()
{
    m_nLastError = 0;
    if (!m_hPort)
        return 0;
    if (m_hIoEvent) {
        g_serialApi.CloseHandle(m_hIoEvent);
        m_hIoEvent = nullptr;
    }
    g_serialApi.CloseHandle(m_hPort);
    m_hPort = nullptr;
    return 0;
}

LONG CSerialPort::ReadState(DCB& dcb)
{
    dcb = DCB();
    dcb.DCBlength = sizeof dcb;
    if (!g_serialApi.GetCommState(m_hPort, &dcb))
        return LastError();
    return 0;
}

LONG CSerialPort::Configure(DWORD baudRate, BYTE dataBits, Parity parity, StopBits stopBits)
{
    m_nLastError = 0;
    if (!m_hPort)
        return Store(ERROR_INVALID_HANDLE);
    DCB dcb;
    if (const LONG code = ReadState(dcb))
        return Store(code);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = dataBits;
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.StopBits = static_cast<BYTE>(stopBits);
    dcb.fParity = parity != NOPARITY;
    if (!g_serialApi.SetCommState(m_hPort, &dcb))
        return Store(LastError());
    return Store(0);
}

LONG CSerialPort::SetEventCharacter(BYTE character, bool adjustMask)
{
    m_nLastError = 0;
    if (!m_hPort)
        return Store(ERROR_INVALID_HANDLE);
    DCB dcb;
    if (const LONG code = ReadState(dcb))
        return Store(code);
    dcb.EvtChar = static_cast<char>(character);
    LONG maskCode = 0;
    if (adjustMask)
        maskCode = SetEventMask(QueryEventMask() | EV_RXFLAG);
    if (!g_serialApi.SetCommState(m_hPort, &dcb))
        return Store(LastError());
    return Store(maskCode);
}

LONG CSerialPort::SetEventMask(DWORD mask)
{
    m_nLastError = 0;
    if (!m_hPort)
        return Store(ERROR_INVALID_HANDLE);
    if (!g_serialApi.SetCommMask(m_hPort, mask))
        return Store(LastError());
    m_dwEventMask = mask;
    return Store(0);
}

LONG CSerialPort::SetFlowControl(FlowControl kind)
{
    m_nLastError = 0;
    if (!m_hPort)
        return Store(ERROR_INVALID_HANDLE);
    DCB dcb;
    if (const LONG code = ReadState(dcb))
        return Store(code);
    if (kind < FlowNone || kind > FlowXonXoff)
        return Store(kInvalidArg);
    const FlowFields& fields = kFlowFields[kind];
    dcb.fOutxCtsFlow = fields.outxCtsFlow;
    dcb.fOutxDsrFlow = fields.outxDsrFlow;
    dcb.fDtrControl = fields.dtrControl;
    dcb.fOutX = fields.outX;
    dcb.fInX = fields.inX;
    dcb.fRtsControl = fields.rtsControl;
    if (!g_serialApi.SetCommState(m_hPort, &dcb))
        return Store(LastError());
    return Store(0);
}

LONG CSerialPort::SetReadMode(ReadMode mode)
{
    m_nLastError = 0;
    if (!m_hPort)
        return Store(ERROR_INVALID_HANDLE);
    COMMTIMEOUTS timeouts = {};
    if (!g_serialApi.GetCommTimeouts(m_hPort, &timeouts))
        return Store(LastError());
    switch (mode) {
    case ReadImmediate:
        timeouts.ReadIntervalTimeout = MAXDWORD;
        break;
    case ReadUntilFull:
        timeouts.ReadIntervalTimeout = 0;
        break;
    default:
        return Store(kInvalidArg);
    }
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!g_serialApi.SetCommTimeouts(m_hPort, &timeouts))
        return Store(LastError());
    return Store(0);
}

bool CSerialPort::QueryState(DCB& dcb)
{
    m_nLastError = 0;
    if (!m_hPort) {
        Store(ERROR_INVALID_HANDLE);
        return false;
    }
    if (const LONG code = ReadState(dcb)) {
        Store(code);
        return false;
    }
    return true;
}

DWORD CSerialPort::QueryBaudRate()
{
    DCB dcb;
    return QueryState(dcb) ? dcb.BaudRate : 0xFFFFFFFF;
}

int CSerialPort::QueryDataBits()
{
    DCB dcb;
    return QueryState(dcb) ? dcb.ByteSize : -1;
}

int CSerialPort::QueryParity()
{
    DCB dcb;
    if (!QueryState(dcb))
        return -1;
    return dcb.fParity ? dcb.Parity : NOPARITY;
}

int CSerialPort::QueryStopBits()
{
    DCB dcb;
    return QueryState(dcb) ? dcb.StopBits : -1;
}

int CSerialPort::QueryFlowControl()
{
    DCB dcb;
    if (!QueryState(dcb))
        return -1;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        return FlowHardware;
    if (dcb.fOutX && dcb.fInX)
        return FlowXonXoff;
    return FlowNone;
}

DWORD CSerialPort::QueryEventMask()
{
    m_nLastError = 0;
    if (!m_hPort) {
        Store(ERROR_INVALID_HANDLE);
        return 0;
    }
    return m_dwEventMask;
}

BYTE CSerialPort::QueryEventCharacter()
{
    DCB dcb;
    return QueryState(dcb) ? static_cast<BYTE>(dcb.EvtChar) : 0;
}

