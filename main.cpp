#include "Allocator.h"
#include "ChannelPlayerApp.h"
#include "Display.h"
#include "Verbose.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// The manual page is made from this text by help2man: a line ending in ':' at the left margin
// starts a section, and the lines under "Options:" that start with '-' are its entries.
constexpr char kUsage[] = "Usage: quorvel [--help] [--version] [--verbose]\n";

constexpr char kHelp[] = R"(
Corvessa plays the eight live channels of the local network. It reads Quorvel.ini and the
images/ folder from its working folder.

Options:
  -h, --help           show this text and exit
  --version            print the version and exit
  --verbose            tell on standard error what the program does: libvlc's log, the
                       channel lookups, the streams opened again

Channel window:
  click or double click a channel, 1 to 8
                       open that channel in a player window
  right click, Alt+A   About Corvessa
  Escape, close box    quit

Player window:
  F11, double click    full screen on and off
  Escape               leave full screen; from a normal window, close it
  close box            close it and return to the channels
  M                    mute and unmute
  Up, Down, wheel      volume
  Page Up, Page Down   previous and next channel
  1 to 8               switch to that channel
  I                    show and hide a panel of figures on what plays

Settings:
  Quorvel.ini, section [Default], is read once, at start. A line starting with ';' is a comment.

  MutiMode=1                    play channels straight from their multicast groups
                                udp://@224.1.1.N:1234; 0 or absent: ask the storage servers
  StorageServer1To6=A.B.C.D     storage server for channels 1 to 6 (default 192.168.10.11)
  StorageServer7To8=A.B.C.D     storage server for channels 7 and 8 (default 192.168.10.12)
  NetworkCaching=MS             how long a stream is buffered before it shows (default 100);
                                more for a network with much jitter
  FastChannelChange=0           in multicast mode, do not keep receiving all eight channels
                                (about 10.6 Mbit/s for the demo's streams) to make channel
                                changes fast; 1 or absent: keep receiving them
  PreStart=0                    do not prepare a channel while the mouse rests on its button;
                                1 or absent: prepare it
  Fallback=1                    a channel falls over to its other source: a multicast group
                                silent for 2 s to the storage server's stream (back to the
                                group once it has carried its pictures for 10 s); a storage
                                server with no address to the group, if it carries data
                                within 1 s. 0 turns it off; absent: on in multicast mode, off
                                in storage-server mode

  images/channelNN-1.jpg and images/channelNN-2.jpg, NN from 01 to 08: each channel's picture,
  and the one shown while the mouse rests on it.
)";

constexpr int kUsageError = 2;
constexpr int kNoDisplay = 1;

struct Options
{
    bool help = false;
    bool version = false;
    bool verbose = false;
    QString error; // set when the command line cannot be used
};

Options ParseOptions(int argc, char** argv)
{
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    parser.addOptions({help, version, verbose});

    Options options;
    if (!parser.parse(arguments)) {
        options.error = parser.errorText();
    } else if (!parser.positionalArguments().isEmpty()) {
        options.error = QStringLiteral("Unexpected argument '%1'.")
                            .arg(parser.positionalArguments().constFirst());
    }
    options.help = parser.isSet(help);
    options.version = parser.isSet(version);
    options.verbose = parser.isSet(verbose);
    return options;
}

[[noreturn]] void ExitNoDisplay(const QString& line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(kNoDisplay);
}

// While Qt starts its platform, its messages are held back: when no platform can start, Qt
// prints several lines and then ends the process through qFatal, and all the viewer needs is
// one line saying what is missing. When the platform starts, the held messages are passed on.
class PlatformStart
{
public:
    explicit PlatformStart(DisplayEnvironment env) : m_env(std::move(env))
    {
        {
            const std::lock_guard lock(s_mutex);
            s_current = this;
        }
        m_previous = qInstallMessageHandler(&PlatformStart::Hold);
    }

    ~PlatformStart()
    {
        qInstallMessageHandler(m_previous);
        const std::lock_guard lock(s_mutex);
        s_current = nullptr;
        for (const Held& message : m_held) {
            const QMessageLogContext context(nullptr, 0, nullptr, message.category);
            qt_message_output(message.type, context, message.text);
        }
    }

    PlatformStart(const PlatformStart&) = delete;
    PlatformStart& operator=(const PlatformStart&) = delete;

private:
    struct Held
    {
        QtMsgType type;
        const char* category; // a literal of Qt's, which outlives the message
        QString text;
    };

    static void Hold(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        // Qt may start threads of its own (D-Bus) while the application is being made, and one
        // of them may still be here when the holding has ended.
        const std::lock_guard lock(s_mutex);
        PlatformStart* self = s_current;
        if (self == nullptr) {
            std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
            return;
        }
        if (type == QtFatalMsg) {
            for (const Held& message : self->m_held)
                Trace(message.text);
            Trace(text);
            ExitNoDisplay(UnreachableDisplay(self->m_env));
        }
        self->m_held.push_back(Held{type, context.category, text});
    }

    static inline std::mutex s_mutex;
    static inline PlatformStart* s_current = nullptr;
    DisplayEnvironment m_env;
    QtMessageHandler m_previous = nullptr;
    std::vector<Held> m_held;
};

} // namespace

int main(int argc, char** argv)
{
    ConfigureAllocator();

    const Options options = ParseOptions(argc, argv);
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "quorvel: %s\n%sRun 'quorvel --help' for the keys and the settings.\n",
                     options.error.toLocal8Bit().constData(), kUsage);
        return kUsageError;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("Corvessa " CORVESSA_VERSION);
        return 0;
    }
    SetVerbose(options.verbose);

    DisplayEnvironment env = CurrentDisplayEnvironment();
    env.platform = PreferredPlatform(env);
    if (!env.platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", env.platform.toLocal8Bit());
    if (const QString missing = MissingDisplay(env); !missing.isEmpty())
        ExitNoDisplay(missing);

    // Wayland's app id (and KDE on X11) name the menu entry whose icon the windows take; other
    // X11 desktops match the entry's StartupWMClass=quorvel, the window class Qt takes from the
    // executable's name.
    QGuiApplication::setDesktopFileName(QStringLiteral("corvessa"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVESSA_VERSION));

    std::unique_ptr<CChannelPlayerApp> app;
    {
        const PlatformStart start(env);
        app = std::make_unique<CChannelPlayerApp>(argc, argv);
    }
    if (const QString invisible = InvisiblePlatform(QGuiApplication::platformName());
        !invisible.isEmpty())
        ExitNoDisplay(invisible);
    Trace(QStringLiteral("quorvel: Qt platform %1").arg(QGuiApplication::platformName()));

    app->InitInstance();
    return 0;
}
