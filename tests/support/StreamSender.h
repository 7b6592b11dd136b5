#pragma once

#include <QProcess>
#include <QString>

// A live MPEG-TS stream sent to a multicast group by ffmpeg, for as long as the object lives:
// a short clip looped in real time, as a site's encoders send their channels. Only inside the
// private test network, where the group goes no further than loopback.
class StreamSender
{
public:
    StreamSender(const QString& clip, int channel);
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    void Stop();

private:
    QProcess m_process;
};
