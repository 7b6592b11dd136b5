#include "ChannelList.h"

#include "Fetch.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

struct ScanCase
{
    const char* name;
    const char16_t* text;
    int channel;
    std::optional<QString> expected;
};

void PrintTo(const ScanCase& c, std::ostream* os)
{
    *os << c.name;
}

class Scan : public ::testing::TestWithParam<ScanCase>
{};

TEST_P(Scan, FindsTheChannelsAddress)
{
    const ScanCase& c = GetParam();
    EXPECT_EQ(locator::FindStreamAddress(QStringView(c.text), c.channel), c.expected);
    EXPECT_EQ(locator::FindStreamAddressInBody(QString::fromUtf16(c.text).toUtf8(), c.channel),
              c.expected)
        << "the scan on raw bytes agrees";
}

const QString kUrl3 = u"http://192.168.10.11/hls/ch3/index.m3u8"_qs;

INSTANTIATE_TEST_SUITE_P(
    Records, Scan,
    ::testing::Values(
        ScanCase{"empty list", u"", 3, std::nullopt},
        ScanCase{"CRLF before brace",
                 u"[{\"src\":\"udp://224.1.1.3:1234\",\"url\":\"http://192.168.10.11/hls/ch3/"
                 u"index.m3u8\"\r\n}]",
                 3, kUrl3},
        ScanCase{"LF before brace",
                 u"[{\"src\":\"udp://224.1.1.3:1234\",\"url\":\"http://192.168.10.11/hls/ch3/"
                 u"index.m3u8\"\n}]",
                 3, kUrl3},
        ScanCase{"brace right after quote keeps last character",
                 u"{\"s\":\"udp://224.1.1.3:1234\",\"u\":\"http://192.168.10.11/hls/ch3/"
                 u"index.m3u8\"}",
                 3, kUrl3},
        ScanCase{"value after URL is not included",
                 u"{\"s\":\"udp://224.1.1.3:1234\",\"u\":\"http://192.168.10.11/hls/ch3/"
                 u"index.m3u8\",\"state\":\"running\"\r\n}",
                 3, kUrl3},
        ScanCase{"unquoted URL cut two before brace", u"{udp://224.1.1.3:1234 http://h/x.m3u8\r\n}",
                 3, u"http://h/x.m3u8"_qs},
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
                 u"{\"udp://@224.1.1.8:1234\",\"http://h/8\"\n}", 8, std::nullopt},
        ScanCase{"non-ASCII URL", u"{\"udp://224.1.1.8:1234\",\"http://h/频道八.m3u8\"\r\n}", 8,
                 u"http://h/频道八.m3u8"_qs},
        ScanCase{"empty text", u"", 1, std::nullopt}),
    [](const auto& info) {
        QString n = QString::fromLatin1(info.param.name);
        n.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")), QStringLiteral("_"));
        return n.toStdString();
    });

TEST(ScanOnBytes, AgreesWithTheDecodedTextOnInvalidUtf8AndNul)
{
    const QByteArray bodies[] = {
        "\xE2\x82udp://224.1.1.2:1234\xC3\x28\"http://h/\xF0\x9F\x98\"\r\n}",
        "udp://224.1.1.2:1234 http://h/\xE9\xA2\x91\xE9\xA2\r\n}",
        QByteArray("udp://224.1.1.2:1234 \0 http://h/x\"\n}", 33),
        "udp://224.1.1.2:1234\xFF\xFE\xFDhttp://h/\xFF}",
    };
    for (const QByteArray& body : bodies)
        EXPECT_EQ(locator::FindStreamAddressInBody(body, 2),
                  locator::FindStreamAddress(locator::DecodeChannelList(body), 2))
            << body.toHex().constData();
}

} // namespace
