#include "ChannelPlayerApp.h"

#include "Background.h"
#include "ChannelDlg.h"

#include <cstdio>
#include <cstdlib>

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
    // A player whose stop is stuck on a server that stopped answering may never finish. Give
    // the background jobs a moment, then leave without them: running the program's destructors
    // (the network's clean-up among them) under threads that are still busy could only end in
    // a crash.
    if (!background::WaitForAll(kExitGrace)) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return false;
}
