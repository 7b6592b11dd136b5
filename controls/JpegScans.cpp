#include "JpegScans.h"

#include <cstring>

namespace {

constexpr unsigned char kMarker = 0xFF;
constexpr unsigned char kStuffedZero = 0x00;
constexpr unsigned char kTemporary = 0x01;
constexpr unsigned char kFirstRestart = 0xD0;
constexpr unsigned char kLastRestart = 0xD7;
constexpr unsigned char kStartOfImage = 0xD8;
constexpr unsigned char kEndOfImage = 0xD9;
constexpr unsigned char kStartOfScan = 0xDA;

} // namespace

int CountJpegScans(QByteArrayView bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype size = bytes.size();
    if (size < 2 || data[0] != kMarker || data[1] != kStartOfImage)
        return 0;

    int scans = 0;
    qsizetype at = 2;
    while (at + 1 < size) {
        if (data[at] != kMarker) {
            const void* next = std::memchr(data + at, kMarker, size_t(size - at));
            if (next == nullptr)
                break;
            at = static_cast<const unsigned char*>(next) - data;
            continue;
        }
        const unsigned char marker = data[at + 1];
        if (marker == kMarker) { // fill byte before a marker
            ++at;
            continue;
        }
        if (marker == kStuffedZero || (marker >= kFirstRestart && marker <= kLastRestart)) {
            at += 2;
            continue;
        }
        if (marker == kEndOfImage)
            break;
        if (marker == kTemporary || marker == kStartOfImage) { // no length follows these
            at += 2;
            continue;
        }
        if (at + 3 >= size)
            break;
        const int length = (data[at + 2] << 8) | data[at + 3];
        if (marker == kStartOfScan)
            ++scans;
        if (length < 2) // libjpeg stops with an error here
            break;
        at += 2 + length;
    }
    return scans;
}
