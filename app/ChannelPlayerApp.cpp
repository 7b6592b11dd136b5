#include "ChannelPlayerApp.h"

#include "ChannelDlg.h"

CChannelPlayerApp::CChannelPlayerApp(int& argc, char** argv)
    : m_app(std::make_unique<QApplication>(argc, argv))
{
    QApplication::setApplicationDisplayName(QString());
}

CChannelPlayerApp::~CChannelPlayerApp() = default;

bool CChannelPlayerApp::InitInstance()
{
    CChannelDlg dialog;
    dialog.DoModal();
    return false;
}
