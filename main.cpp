#include "Allocator.h"
#include "ChannelPlayerApp.h"

#include <QByteArray>

int main(int argc, char** argv)
{
    ConfigureAllocator();

    // libvlc draws into X11 windows. On a Wayland desktop Qt would pick Wayland, where no
    // window can be handed to libvlc, so run on XWayland unless the user chose a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");

    CChannelPlayerApp app(argc, argv);
    app.InitInstance();
    return 0;
}
