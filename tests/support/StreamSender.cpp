#include "StreamSender.h"

#include <gtest/gtest.h>

StreamSender::StreamSender(const QString& clip, int channel)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("ffmpeg"),
                    {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                     QStringLiteral("error"), QStringLiteral("-re"), QStringLiteral("-stream_loop"),
                     QStringLiteral("-1"), QStringLiteral("-i"), clip, QStringLiteral("-c"),
                     QStringLiteral("copy"), QStringLiteral("-f"), QStringLiteral("mpegts"),
                     QStringLiteral("udp://224.1.1.%1:1234?pkt_size=1316&ttl=1").arg(channel)});
    if (!m_process.waitForStarted(10000))
        ADD_FAILURE() << "ffmpeg did not start";
}

StreamSender::~StreamSender()
{
    Stop();
}

void StreamSender::Stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}
