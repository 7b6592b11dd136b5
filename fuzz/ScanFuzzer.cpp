// The channel-list scan on any body a server might send: decoded as the download decodes it,
// scanned for every channel. A found address must lie inside the text and start with the scheme.
#include "ChannelList.h"
#include "Fetch.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = locator::DecodeChannelList(
        QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size)));
    for (int channel = 1; channel <= 8; ++channel) {
        const std::optional<QString> address = locator::FindStreamAddress(text, channel);
        if (!address)
            continue;
        if (!address->startsWith(u"http://") || !text.contains(*address) || address->endsWith(u'"'))
            std::abort();
    }
    return 0;
}
