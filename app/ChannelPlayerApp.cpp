#include "ChannelPlayerApp.h"
CChannelPlayerApp::CChannelPlayerApp(int&, char**) {}
bool CChannelPlayerApp::InitInstance()
{
    return false;
}
