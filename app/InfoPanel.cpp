#include "InfoPanel.h"

#include "ChannelCore.h"

#include <numeric>

namespace {

QString Seconds(double seconds)
{
    return QString::number(seconds, 'f', 2);
}

QString Source(const CChannelPlayback::Figures& figures)
{
    const QString group = QStringLiteral("udp://@");
    if (figures.address.startsWith(group)) {
        return QStringLiteral("来源：组播 %1，%2")
            .arg(figures.address.mid(group.size()), figures.fromBuffer
                                                        ? QStringLiteral("从缓存的图像组开始")
                                                        : QStringLiteral("直接接收"));
    }
    return QStringLiteral("来源：%1%2")
        .arg(figures.address, figures.throughRelay ? QStringLiteral("，经本机中转") : QString());
}

QString Shape(const VideoFrames::Shape& shape)
{
    if (shape.visible.isEmpty())
        return QStringLiteral("画面：—");
    QString line =
        QStringLiteral("画面：%1 × %2").arg(shape.visible.width()).arg(shape.visible.height());
    if (shape.sarNum > 0 && shape.sarDen > 0)
        line += QStringLiteral("，像素 %1:%2").arg(shape.sarNum).arg(shape.sarDen);
    return line + QStringLiteral("，宽高比 %1").arg(shape.aspect, 0, 'f', 2);
}

QString Backoff(const PanelFigures& figures)
{
    if (figures.pendingReopen)
        return QStringLiteral("重连：信号中断，%1 秒后重新连接（这次等待 %2 秒）")
            .arg(std::max<qint64>(1, (figures.untilReopen.count() + 999) / 1000))
            .arg(figures.pendingReopen->count());
    if (figures.backoff.count() == 0)
        return QStringLiteral("重连：无");
    return QStringLiteral("重连：已重新打开，等待图像（上次等待 %1 秒）")
        .arg(figures.backoff.count());
}

QString Fallback(const PanelFigures& figures)
{
    using State = CChannelFallback::State;
    switch (figures.fallback) {
    case State::LookingUp:
        return QStringLiteral("备用来源：组播无信号，正在查询存储服务器");
    case State::Waiting:
        return QStringLiteral("备用来源：存储服务器未给出地址，%1 秒后再查")
            .arg(std::max<qint64>(1, (figures.untilRetry.count() + 999) / 1000));
    case State::Storage:
        return QStringLiteral("备用来源：组播无信号，正在播放存储服务器");
    case State::Returning:
        return QStringLiteral("备用来源：组播已恢复，正在准备切回");
    case State::Off:
    case State::Group:
        break;
    }
    return {};
}

} // namespace

QStringList PanelLines(const PanelFigures& figures)
{
    const CChannelPlayback::Figures& p = figures.playback;
    QStringList lines;
    lines << Source(p);
    lines << QStringLiteral("视频：%1")
                 .arg(p.videoCodec.isEmpty() ? QStringLiteral("—") : p.videoCodec);
    lines << Shape(p.shape);
    QString rate = p.frameRate > 0 ? QStringLiteral("帧率：%1 帧/秒").arg(p.frameRate, 0, 'f', 2)
                                   : QStringLiteral("帧率：—");
    if (p.shownRate > 0)
        rate += QStringLiteral("，实际显示 %1").arg(p.shownRate, 0, 'f', 1);
    lines << rate;
    lines << (p.bitRate > 0
                  ? QStringLiteral("码率：%1 Mbit/s（最近几秒）").arg(p.bitRate / 1e6, 0, 'f', 2)
                  : QStringLiteral("码率：—"));
    lines << QStringLiteral("图像：已解码 %1，丢弃 %2，迟到 %3")
                 .arg(p.decoded)
                 .arg(p.dropped)
                 .arg(p.late);
    lines << (figures.behindLive
                  ? QStringLiteral("落后直播：%1 秒").arg(Seconds(*figures.behindLive))
                  : QStringLiteral("落后直播：—"));
    lines << (p.audioCodec.isEmpty() ? QStringLiteral("音频：无")
                                     : QStringLiteral("音频：%1，%2 声道，%3 Hz")
                                           .arg(p.audioCodec)
                                           .arg(p.audioChannels)
                                           .arg(p.audioRate));
    lines << Backoff(figures);
    if (const QString fallback = Fallback(figures); !fallback.isEmpty())
        lines << fallback;
    return lines;
}

void BehindLive::Note(const CChannelPlayback::Figures& figures, std::optional<std::uint64_t> newest)
{
    if (!figures.firstTimestamp || !figures.timeMs || !newest)
        return;
    const double behind =
        double(fastzap::TicksBetween(*figures.firstTimestamp, *newest)) / 90000.0 -
        double(*figures.timeMs) / 1000.0;
    // A stream whose clock jumped (a sender started again) says nothing about the delay.
    if (behind < -1.0 || behind > 60.0) {
        m_readings.clear();
        return;
    }
    m_readings.push_back(behind);
    if (m_readings.size() > kReadings)
        m_readings.pop_front();
}

std::optional<double> BehindLive::Mean() const
{
    if (m_readings.empty())
        return std::nullopt;
    return std::max(0.0, std::accumulate(m_readings.begin(), m_readings.end(), 0.0) /
                             double(m_readings.size()));
}
