#include "app/selftest_dlg.h"

#include "framework/data_exchange.h"
#include "framework/paint_dc.h"
#include "framework/win_app.h"
#include "loopback/port_discovery.h"
#include "res/resource.h"
#include "serial/serial_wnd.h"

CSelfTestDlg::CSelfTestDlg(CWnd* parent)
    : CDialog(IDD_SELFTEST_DIALOG, parent),
      m_hIcon(nullptr),
      m_bCancelled(false),
      m_bFailed(false),
      m_bShowVerdict(false),
      m_hVerdictBrush(nullptr),
      m_bPortFound(0)
{
    CWinApp* app = AfxGetApp();
    m_hIcon = ::LoadIconA(app != nullptr ? app->m_hInstance : ::GetModuleHandleA(nullptr),
                          MAKEINTRESOURCEA(IDR_MAINFRAME));
}

// Members go in reverse order; m_serial's own destructor closes a port still open.
CSelfTestDlg::~CSelfTestDlg() = default;

void CSelfTestDlg::DoDataExchange(CDataExchange* dx)
{
    CDialog::DoDataExchange(dx);
    DDX_CBString(dx, IDC_PORT, m_strPort);
    DDX_Control(dx, IDC_START, m_btnStart);
    DDX_Control(dx, IDC_STOP, m_btnStop);
    DDX_Control(dx, IDC_RESULT_LIST, m_lstResult);
    DDX_Control(dx, IDC_PROGRESS, m_progress);
}

BOOL CSelfTestDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    // Discovery runs before the dialog is first shown; the first test waits for Start or an arrival.
    char portName[16] = {};
    m_bPortFound = FindDevicePort(portName) ? 1 : 0;
    m_strPort = m_bPortFound ? portName : "";

    m_btnStop.EnableWindow(FALSE);
    m_hVerdictBrush = (HBRUSH)::GetStockObject(NULL_BRUSH);
    UpdateData(FALSE);
    return TRUE;
}

BEGIN_MESSAGE_MAP(CSelfTestDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_START, OnStart)
    ON_BN_CLICKED(IDC_STOP, OnStop)
    ON_REGISTERED_MESSAGE(g_nSerialWndMsg, OnSerialMessage)
    ON_WM_CTLCOLOR()
    ON_WM_DEVICECHANGE()
END_MESSAGE_MAP()

void CSelfTestDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, (WPARAM)dc.GetSafeHdc(), 0);
    const int iconWidth = ::GetSystemMetrics(SM_CXICON);
    const int iconHeight = ::GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(&client);
    const int x = (client.right - client.left - iconWidth + 1) / 2;
    const int y = (client.bottom - client.top - iconHeight + 1) / 2;
    ::DrawIcon(dc.GetSafeHdc(), x, y, m_hIcon);
}

HCURSOR CSelfTestDlg::OnQueryDragIcon()
{
    return (HCURSOR)m_hIcon;
}

// Port events need no action: the test reads the port itself.
LRESULT CSelfTestDlg::OnSerialMessage(WPARAM, LPARAM)
{
    return 0;
}
