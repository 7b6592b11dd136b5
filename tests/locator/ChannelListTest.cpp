#include "ChannelList.h"

#include "Fetch.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

// A case prints as its name.
template <class Case> auto operator<<(std::ostream& os, const Case& c) -> decltype(os << c.name)
{
    return os << c.name;
}

std::string caseName(const char* name)
{
    QString n = QString::fromLatin1(name);
    n.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")), QStringLiteral("_"));
    return n.toStdString();
}

// Both scans of `list`: the one on the text, and the one on its UTF-8 bytes. On the bytes the
// text ends at a NUL, and bytes cannot hold half a surrogate pair; either way the scan on bytes
// agrees with the scan on the text the bytes decode to.
void expectScans(const QString& list, int channel, const std::optional<QString>& expected)
{
    const QByteArray bytes = list.toUtf8();
    EXPECT_EQ(locator::FindStreamAddress(list, channel), expected);
    EXPECT_EQ(locator::FindStreamAddressInBody(bytes, channel),
              locator::FindStreamAddress(locator::DecodeChannelList(bytes), channel));
    if (!list.contains(QChar(0)) && QString::fromUtf8(bytes) == list) {
        EXPECT_EQ(locator::FindStreamAddressInBody(bytes, channel), expected)
            << "the scan on raw bytes agrees";
    }
}

struct ScanCase
{
    const char* name;
    const char16_t* text;
    int channel;
    std::optional<QString> expected;
};

class Scan : public ::testing::TestWithParam<ScanCase>
{};

TEST_P(Scan, FindsTheChannelsAddress)
{
    const ScanCase& c = GetParam();
    expectScans(QString::fromUtf16(c.text), c.channel, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, Scan,
    ::testing::Values(
        ScanCase{"empty list", u"", 3, std::nullopt},
        ScanCase{"LF before brace", u"[{\"s\":\"udp://224.1.1.3:1234\",\"u\":\"http://h/3\"\n}]", 3,
                 u"http://h/3"_qs},
        ScanCase{"brace right after quote keeps last character",
                 u"{\"s\":\"udp://224.1.1.3:1234\",\"u\":\"http://h/3\"}", 3, u"http://h/3"_qs},
        ScanCase{"value after URL is not included",
                 u"{\"s\":\"udp://224.1.1.3:1234\",\"u\":\"http://h/3\",\"state\":\"running\"\r\n}",
                 3, u"http://h/3"_qs},
        ScanCase{"unquoted URL, trailing quotes all trimmed",
                 u"{udp://224.1.1.3:1234 http://h/x.m3u8\"\"\"ab}", 3, u"http://h/x.m3u8"_qs},
        ScanCase{"channel 1 does not match group 11",
                 u"{\"udp://224.1.1.11:1234\",\"http://h/11\"\n}{\"udp://224.1.1.1:1234\","
                 u"\"http://h/1\"\n}",
                 1, u"http://h/1"_qs},
        ScanCase{"first occurrence decides",
                 u"{\"udp://224.1.1.2:1234\",\"http://h/first\"\n}{\"udp://224.1.1.2:1234\","
                 u"\"http://h/second\"\n}",
                 2, u"http://h/first"_qs},
        ScanCase{"URL of a later record is not taken",
                 u"{\"udp://224.1.1.4:1234\",\"file\":\"x\"\n}{\"http://h/other\"\n}", 4,
                 std::nullopt},
        ScanCase{"no brace after key", u"{\"udp://224.1.1.5:1234\",\"http://h/5\"", 5,
                 std::nullopt},
        ScanCase{"key missing", u"{\"udp://224.1.1.6:1234\",\"http://h/6\"\n}", 7, std::nullopt},
        ScanCase{"multicast form with @ is not the key",
                 u"{\"udp://@224.1.1.8:1234\",\"http://h/8\"\n}", 8, std::nullopt}),
    [](const auto& info) { return caseName(info.param.name); });

TEST(ScanOnBytes, AgreesWithTheDecodedTextOnInvalidUtf8AndNul)
{
    const QByteArray bodies[] = {
        "\xE2\x82udp://224.1.1.2:1234\xC3\x28\"http://h/\xF0\x9F\x98\"\r\n}",
        "udp://224.1.1.2:1234 http://h/\xE9\xA2\x91\xE9\xA2\r\n}",
        "udp://224.1.1.2:1234 \0 http://h/x\"\n}"_qba,
        "udp://224.1.1.2:1234\xFF\xFE\xFDhttp://h/\xFF}",
    };
    for (const QByteArray& body : bodies)
        EXPECT_EQ(locator::FindStreamAddressInBody(body, 2),
                  locator::FindStreamAddress(locator::DecodeChannelList(body), 2))
            << body.toHex().constData();
}

// An address the player cannot take is no address: too long for the player window's title, or
// holding white space or control characters, which libvlc refuses.
const QString kPrefix = u"http://192.168.10.11/hls/"_qs;

// kPrefix followed by `filler` repeated, then 'x' up to exactly `bytes` bytes of UTF-8.
QString addressOf(qsizetype bytes, const QString& filler)
{
    QString address = kPrefix;
    qsizetype length = address.toUtf8().size();
    const qsizetype step = filler.toUtf8().size();
    for (; length + step <= bytes; length += step)
        address += filler;
    for (; length < bytes; ++length)
        address += u'x';
    return address;
}

struct AddressCase
{
    const char* name;
    QString address;
    bool usable;
};

class AddressRule : public ::testing::TestWithParam<AddressCase>
{};

// In the record as storage servers write it, and in the old form without a closing quote.
TEST_P(AddressRule, DecidesWhetherTheChannelIsNamed)
{
    const AddressCase& c = GetParam();
    EXPECT_EQ(locator::Utf8Length(c.address), c.address.toUtf8().size());
    EXPECT_EQ(locator::IsUsableStreamAddress(c.address), c.usable);
    const std::optional<QString> expected = c.usable ? std::optional(c.address) : std::nullopt;
    expectScans(u"[{\"src\":\"udp://224.1.1.3:1234\",\"url\":\""_qs + c.address + u"\"\r\n}]"_qs, 3,
                expected);
    expectScans(u"{udp://224.1.1.3:1234 "_qs + c.address + u"\r\n}"_qs, 3, expected);
}

QString with(QChar c)
{
    return kPrefix + u"ch3"_qs + c + u"index.m3u8"_qs;
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, AddressRule,
    ::testing::Values(
        AddressCase{"4096 ASCII bytes", addressOf(4096, u"a"_qs), true},
        AddressCase{"4097 ASCII bytes", addressOf(4097, u"a"_qs), false},
        AddressCase{"4096 bytes of three-byte characters", addressOf(4096, u"频"_qs), true},
        AddressCase{"1366 characters, 4097 bytes", addressOf(4096, u"频"_qs) + u"x"_qs, false},
        AddressCase{"4096 bytes of two-byte characters", addressOf(4096, u"é"_qs), true},
        AddressCase{"4097 bytes of two-byte characters", addressOf(4096, u"é"_qs) + u"x"_qs, false},
        AddressCase{"4096 bytes of four-byte characters", addressOf(4096, u"😀"_qs), true},
        AddressCase{"4099 bytes ending in a four-byte character",
                    addressOf(4095, u"x"_qs) + u"😀"_qs, false},
        AddressCase{"6 MB", addressOf(6'000'000, u"abcdefgh"_qs), false},
        AddressCase{"plain", with(u'/'), true}, AddressCase{"space", with(u' '), false},
        AddressCase{"tab", with(u'\t'), false}, AddressCase{"CR", with(u'\r'), false},
        AddressCase{"LF", with(u'\n'), false},
        AddressCase{"ideographic space U+3000", with(QChar(0x3000)), false},
        AddressCase{"no-break space U+00A0", with(QChar(0x00A0)), false},
        AddressCase{"NUL", with(QChar(0)), false}, AddressCase{"DEL", with(QChar(0x7F)), false},
        AddressCase{"C1 control U+0085", with(QChar(0x85)), false},
        AddressCase{"C1 control U+009B", with(QChar(0x9B)), false},
        AddressCase{"escape U+001B", with(QChar(0x1B)), false},
        AddressCase{"replacement character from invalid UTF-8", with(QChar(0xFFFD)), true},
        AddressCase{"half a surrogate pair", with(QChar(0xD83D)), false},
        AddressCase{"lone low surrogate", with(QChar(0xDE00)), false},
        AddressCase{"Chinese path", kPrefix + u"频道三/index.m3u8"_qs, true}),
    [](const auto& info) { return caseName(info.param.name); });

} // namespace
