#include "ChannelList.h"

namespace locator {

QString ChannelListKey(int channel)
{
    return QStringLiteral("udp://224.1.1.%1:1234").arg(channel);
}

std::optional<QString> FindStreamAddress(QStringView text, int channel)
{
    const QString key = ChannelListKey(channel);
    const qsizetype k = text.indexOf(key);
    if (k < 0)
        return std::nullopt;
    const qsizetype z = text.indexOf(u'}', k);
    if (z < 0)
        return std::nullopt;

    const QStringView record = text.sliced(k, z - k);
    const qsizetype h = record.indexOf(u"http://");
    if (h >= 0) {
        const qsizetype quote = record.indexOf(u'"', h);
        if (quote >= 0)
            return record.sliced(h, quote - h).toString();
    }

    // Two characters before the "}" are taken to be the closing quote and a line break.
    const QStringView piece = record.first(std::max<qsizetype>(record.size() - 2, 0));
    const qsizetype start = piece.indexOf(u"http://");
    if (start < 0)
        return std::nullopt;
    QStringView address = piece.sliced(start);
    while (address.endsWith(u'"'))
        address.chop(1);
    return address.toString();
}

} // namespace locator
