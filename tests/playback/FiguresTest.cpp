// The panel's bit rate of a storage server's stream: libvlc fetches the segments on connections
// of its own, which its statistics leave out; the relay passes every byte of them on.
#include "ChannelPlayback.h"
#include "HttpServer.h"
#include "StreamRelay.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

TEST(Figures, AStreamThroughTheRelayHasTheBitRateOfItsSegments)
{
    // A live playlist whose segments come a byte every 0.2 s, from another server.
    const HttpServer segments({QStringLiteral("trickle")});
    const QTemporaryDir dir;
    QFile playlist(dir.filePath(QStringLiteral("index.m3u8")));
    ASSERT_TRUE(playlist.open(QIODevice::WriteOnly));
    playlist.write("#EXTM3U\n#EXT-X-TARGETDURATION:2\n");
    for (int i = 0; i < 4; ++i)
        playlist.write(QStringLiteral("#EXTINF:2,\nhttp://127.0.0.1:%1/%2.ts\n")
                           .arg(segments.port())
                           .arg(i)
                           .toLatin1());
    playlist.close();
    const HttpServer server({QStringLiteral("serve"), playlist.fileName()});
    relay::StreamRelay relay;
    ASSERT_TRUE(relay.Start());
    const VlcInstance instance = CreateVlcInstance();
    CChannelPlayback playback;
    playback.SetInstance(instance.get());
    playback.SetRelay(&relay);
    playback.Open(QStringLiteral("http://127.0.0.1:%1/index.m3u8").arg(server.port()));
    double rate = 0;
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return (rate = playback.CurrentFigures().bitRate) > 0; }, 15000));
    EXPECT_LT(rate, 400.0) << "about 40 bits a second";
    playback.Close();
}

} // namespace
