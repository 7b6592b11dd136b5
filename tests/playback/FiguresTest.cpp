// The panel's bit rate of a storage server's stream: libvlc fetches the segments on connections
// of its own, which its statistics leave out; the relay, which passes every byte of them on,
// counts them.
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
    const HttpServer segment({QStringLiteral("trickle")});
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile playlist(dir.filePath(QStringLiteral("index.m3u8")));
    ASSERT_TRUE(playlist.open(QIODevice::WriteOnly));
    QByteArray text = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n";
    for (int i = 0; i < 4; ++i)
        text += QStringLiteral("#EXTINF:2.0,\nhttp://127.0.0.1:%1/segment%2.ts\n")
                    .arg(segment.port())
                    .arg(i)
                    .toLatin1();
    playlist.write(text);
    playlist.close();
    const HttpServer server({QStringLiteral("serve"), playlist.fileName()});

    relay::StreamRelay relay;
    ASSERT_TRUE(relay.Start());
    const VlcInstance instance = CreateVlcInstance();
    ASSERT_TRUE(instance);
    CChannelPlayback playback;
    playback.SetInstance(instance.get());
    playback.SetRelay(&relay);
    playback.Open(QStringLiteral("http://127.0.0.1:%1/index.m3u8").arg(server.port()));
    double rate = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            rate = playback.CurrentFigures().bitRate;
            return rate > 0;
        },
        15000))
        << "no bit rate";
    EXPECT_TRUE(playback.CurrentFigures().throughRelay);
    EXPECT_LT(rate, 400.0) << "about 40 bits a second";
    playback.Close();
}

} // namespace
