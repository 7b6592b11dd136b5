// An address the player cannot take is no address: too long for the player window's title, or
// holding white space or control characters, which libvlc refuses.
#include "ChannelList.h"
#include "Fetch.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

const QString kPrefix = u"http://192.168.10.11/hls/"_qs;

// "http://192.168.10.11/hls/" followed by `filler` repeated until the address is `bytes` long in
// UTF-8 (or one short of that, when the filler cannot land on the exact length).
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

void PrintTo(const AddressCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string caseName(const char* name)
{
    QString n = QString::fromLatin1(name);
    n.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")), QStringLiteral("_"));
    return n.toStdString();
}

class AddressRule : public ::testing::TestWithParam<AddressCase>
{};

TEST_P(AddressRule, DecidesWhetherTheChannelIsNamed)
{
    const AddressCase& c = GetParam();
    EXPECT_EQ(locator::Utf8Length(c.address), c.address.toUtf8().size());
    EXPECT_EQ(locator::IsUsableStreamAddress(c.address), c.usable);

    // The record as storage servers write it, and the old form without a closing quote.
    const QString quoted =
        u"[{\"src\":\"udp://224.1.1.3:1234\",\"url\":\""_qs + c.address + u"\"\r\n}]"_qs;
    const QString bare = u"{udp://224.1.1.3:1234 "_qs + c.address + u"\r\n}"_qs;
    const std::optional<QString> expected =
        c.usable ? std::optional<QString>(c.address) : std::nullopt;
    for (const QString& list : {quoted, bare}) {
        EXPECT_EQ(locator::FindStreamAddress(list, 3), expected);
        // On the raw bytes the text ends at a NUL, so a NUL in the address loses the record's
        // "}" and with it the record; and bytes cannot hold half a surrogate pair. Either way
        // the scan on bytes agrees with the scan on the text the bytes decode to.
        EXPECT_EQ(locator::FindStreamAddressInBody(list.toUtf8(), 3),
                  locator::FindStreamAddress(locator::DecodeChannelList(list.toUtf8()), 3));
        const bool bytesCarryIt =
            !c.address.contains(QChar(0)) && QString::fromUtf8(c.address.toUtf8()) == c.address;
        if (bytesCarryIt) {
            EXPECT_EQ(locator::FindStreamAddressInBody(list.toUtf8(), 3), expected);
        }
    }
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
