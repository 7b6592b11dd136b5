#include "Allocator.h"
#include "ChannelPlayerApp.h"

#include <QByteArray>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kHelp[] = R"(Usage: quorvel [--help] [--version]

Corvessa plays the eight live channels of the local network. It reads Quorvel.ini and the
images/ folder from its working folder.

Channel window
  click, 1 to 8        open that channel in a player window
  right click, Alt+A   About Corvessa
  Escape               quit

Player window
  F11, double click    full screen on and off
  Escape               leave full screen; from a normal window, close it
  M                    mute and unmute
  Up, Down, wheel      volume
  Page Up, Page Down   previous and next channel
  1 to 8               switch to that channel

Quorvel.ini, section [Default] (read once, at start)
  MutiMode=1                    play channels straight from their multicast groups
                                udp://@224.1.1.N:1234; 0 or absent: ask the storage servers
  StorageServer1To6=A.B.C.D     storage server for channels 1 to 6 (default 192.168.10.11)
  StorageServer7To8=A.B.C.D     storage server for channels 7 and 8 (default 192.168.10.12)
  NetworkCaching=MS             how long a stream is buffered before it shows (default 100);
                                more for a network with much jitter
)";

} // namespace

int main(int argc, char** argv)
{
    ConfigureAllocator();

    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("Corvessa 1.0.0.1");
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }

    // libvlc draws into X11 windows. On a Wayland desktop Qt would pick Wayland, where no
    // window can be handed to libvlc, so run on XWayland unless the user chose a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");

    CChannelPlayerApp app(argc, argv);
    app.InitInstance();
    return 0;
}
