// The baseline for zap and start-up times: a plain window, libvlc_new with no arguments, and for
// each click a plain window playing the channel with set_xwindow and play. Laid out like the
// channel window (800 x 600, eight 180 x 180 cells) so that both are clicked alike.
//
//   bare_player multicast|hls [:option ...] [--option ...]
// Options after the first argument starting with ':' go to each media (libvlc_media_add_option),
// for trying per-media settings against the defaults; those starting with "--" go to libvlc_new.
// F11 toggles a player window's full screen. When a player window closes, its media's counters
// (libvlc_media_get_stats) are printed on standard output as one line:
//   stats decoded=N displayed=N lost=N
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <vector>
#include <vlc/vlc.h>

namespace {

QString addressOf(int channel, bool hls)
{
    if (!hls)
        return QStringLiteral("udp://@224.1.1.%1:1234").arg(channel);
    const char* server = channel > 6 ? "192.168.10.12" : "192.168.10.11";
    return QStringLiteral("http://%1/hls/ch%2/index.m3u8").arg(QLatin1String(server)).arg(channel);
}

class Player : public QWidget
{
public:
    Player(libvlc_instance_t* vlc, const QString& address, const QStringList& options)
    {
        setAttribute(Qt::WA_DeleteOnClose);
        setAttribute(Qt::WA_NativeWindow);
        setWindowTitle(QStringLiteral(" - ") + address);
        resize(800, 600);
        QPalette dark = palette();
        dark.setColor(QPalette::Window, QColor(0x3A, 0x3A, 0x3A));
        setPalette(dark);
        setAutoFillBackground(true);
        libvlc_media_t* media = libvlc_media_new_location(vlc, address.toUtf8().constData());
        for (const QString& option : options)
            libvlc_media_add_option(media, option.toUtf8().constData());
        m_player = libvlc_media_player_new_from_media(media);
        libvlc_media_release(media);
        libvlc_media_player_set_xwindow(m_player, quint32(winId()));
        libvlc_video_set_key_input(m_player, false);
        libvlc_video_set_mouse_input(m_player, false);
        libvlc_media_player_play(m_player);
    }
    ~Player() override
    {
        if (libvlc_media_t* media = libvlc_media_player_get_media(m_player)) {
            libvlc_media_stats_t stats{};
            if (libvlc_media_get_stats(media, &stats))
                std::printf("stats decoded=%d displayed=%d lost=%d\n", stats.i_decoded_video,
                            stats.i_displayed_pictures, stats.i_lost_pictures);
            std::fflush(stdout);
            libvlc_media_release(media);
        }
        libvlc_media_player_stop(m_player);
        libvlc_media_player_release(m_player);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Escape)
            close();
        else if (event->key() == Qt::Key_F11)
            isFullScreen() ? showNormal() : showFullScreen();
    }

private:
    libvlc_media_player_t* m_player = nullptr;
};

class Channels : public QWidget
{
public:
    Channels(libvlc_instance_t* vlc, bool hls, QStringList options)
        : m_vlc(vlc), m_hls(hls), m_options(std::move(options))
    {
        setWindowTitle(QStringLiteral("Corvessa"));
        setFixedSize(800, 600);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        const QPoint at = event->position().toPoint();
        const int column = (at.x() - 16) / 196;
        const int row = (at.y() - 14) / 196;
        if (column < 0 || column > 3 || row < 0 || row > 1)
            return;
        auto* player = new Player(m_vlc, addressOf(row * 4 + column + 1, m_hls), m_options);
        player->show();
    }

private:
    libvlc_instance_t* m_vlc;
    bool m_hls;
    QStringList m_options;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QStringList options;
    std::vector<const char*> instanceOptions;
    for (int i = 2; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0)
            instanceOptions.push_back(argv[i]);
        else
            options << QString::fromLocal8Bit(argv[i]);
    }
    libvlc_instance_t* vlc = libvlc_new(int(instanceOptions.size()), instanceOptions.data());
    if (vlc == nullptr)
        return 1;
    {
        Channels channels(vlc, argc > 1 && std::strcmp(argv[1], "hls") == 0, options);
        channels.show();
        app.exec();
    }
    libvlc_release(vlc);
    return 0;
}
