#include "ChannelList.h"

#include <cstring>

namespace locator {
namespace {

// The address inside one record: `record` runs from the key up to, not including, the "}".
std::optional<QStringView> AddressInRecord(QStringView record)
{
    const qsizetype h = record.indexOf(u"http://");
    if (h >= 0) {
        const qsizetype quote = record.indexOf(u'"', h);
        if (quote >= 0)
            return record.sliced(h, quote - h);
    }

    // Two characters before the "}" are taken to be the closing quote and a line break.
    const QStringView piece = record.first(std::max<qsizetype>(record.size() - 2, 0));
    const qsizetype start = piece.indexOf(u"http://");
    if (start < 0)
        return std::nullopt;
    QStringView address = piece.sliced(start);
    while (address.endsWith(u'"'))
        address.chop(1);
    return address;
}

std::optional<QString> UsableAddressInRecord(QStringView record)
{
    const std::optional<QStringView> address = AddressInRecord(record);
    if (!address || !IsUsableStreamAddress(*address))
        return std::nullopt;
    return address->toString();
}

} // namespace

qsizetype Utf8Length(QStringView text)
{
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes += 4;
            ++i;
        } else if (unit < 0x80 || QChar::isSurrogate(unit)) {
            bytes += 1; // Qt writes a lone surrogate as "?"
        } else {
            bytes += unit < 0x800 ? 2 : 3;
        }
    }
    return bytes;
}

bool IsUsableStreamAddress(QStringView address)
{
    if (address.size() > kMaxStreamAddressBytes) // a UTF-16 unit is at least one UTF-8 byte
        return false;
    for (qsizetype i = 0; i < address.size(); ++i) {
        const QChar c = address[i];
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return false;
        // Half a surrogate pair has no UTF-8 form: the record was cut inside a character.
        if (c.isHighSurrogate() && i + 1 < address.size() && address[i + 1].isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return false;
    }
    return Utf8Length(address) <= kMaxStreamAddressBytes;
}

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
    return UsableAddressInRecord(text.sliced(k, z - k));
}

std::optional<QString> FindStreamAddressInBody(QByteArrayView body, int channel)
{
    // An empty body may have no bytes at all, and memchr and memmem want some.
    if (body.isEmpty())
        return std::nullopt;
    // The text ends at the first NUL, as the decoded list does.
    if (const void* nul = std::memchr(body.data(), 0, size_t(body.size())))
        body = body.first(static_cast<const char*>(nul) - body.data());
    const QByteArray key = ChannelListKey(channel).toLatin1();
    const void* k = memmem(body.data(), size_t(body.size()), key.constData(), size_t(key.size()));
    if (k == nullptr)
        return std::nullopt;
    const qsizetype kb = static_cast<const char*>(k) - body.data();
    const void* z = std::memchr(body.data() + kb, '}', size_t(body.size() - kb));
    if (z == nullptr)
        return std::nullopt;
    const qsizetype zb = static_cast<const char*>(z) - body.data();
    // Both ends are ASCII, so the record decodes exactly as its part of the whole text would.
    return UsableAddressInRecord(QString::fromUtf8(body.sliced(kb, zb - kb)));
}

} // namespace locator
