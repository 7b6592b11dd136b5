// The channel-list scan on any body a server might send: decoded as the download decodes it,
// scanned for every channel. A found address must lie inside the text, start with the scheme,
// and be one the player can take: at most 4096 bytes of UTF-8, without white space or control
// characters. The scan on the raw bytes must find the very same address.
#include "ChannelList.h"
#include "Fetch.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView body(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString text = locator::DecodeChannelList(body);
    for (int channel = 1; channel <= 8; ++channel) {
        const std::optional<QString> address = locator::FindStreamAddress(text, channel);
        if (address != locator::FindStreamAddressInBody(body, channel))
            std::abort();
        if (!address)
            continue;
        if (!address->startsWith(u"http://") || !text.contains(*address) || address->endsWith(u'"'))
            std::abort();
        const qsizetype bytes = address->toUtf8().size();
        if (bytes > locator::kMaxStreamAddressBytes || bytes != locator::Utf8Length(*address))
            std::abort();
        for (const QChar c : *address)
            if (c.isSpace() || c.category() == QChar::Other_Control)
                std::abort();
    }
    return 0;
}
