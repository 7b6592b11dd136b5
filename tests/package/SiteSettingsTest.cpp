// The Quorvel.ini files that come with the package, read by the program's own reader: the
// documented one, untouched, reads as no file at all, and each documented default, once its ';'
// is removed, reads as that default; the site's own one, as the package makes it, sets nothing.
#include "PrivateProfile.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <array>
#include <gtest/gtest.h>

namespace {

struct Setting
{
    const char* key;
    const char* byDefault; // what the program uses when the key is absent
};

constexpr std::array<Setting, 7> kSettings{{
    {"MutiMode", "0"},
    {"StorageServer1To6", "192.168.10.11"},
    {"StorageServer7To8", "192.168.10.12"},
    {"NetworkCaching", "100"},
    {"FastChannelChange", "1"},
    {"PreStart", "1"},
    {"Fallback", ""}, // no value: the mode chooses
}};

QByteArray Read(const char* path)
{
    QFile file(QString::fromUtf8(path));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
    return file.readAll();
}

TEST(ShippedSettingsTest, EveryKeyIsDocumentedCommentedOutWithItsDefaultAndNothingElse)
{
    const QByteArray file = Read(CORVESSA_SHIPPED_SETTINGS);
    const QByteArray siteFile = Read(CORVESSA_SITE_SETTINGS);
    QStringList expected;
    for (const Setting& s : kSettings) {
        SCOPED_TRACE(s.key);
        const QString key = QString::fromLatin1(s.key);
        const QString value = QString::fromLatin1(s.byDefault);
        expected.append(key);
        EXPECT_FALSE(profile::readValue(file, u"Default", key).has_value())
            << "set: an untouched file must read as no file";
        EXPECT_FALSE(profile::readValue(siteFile, u"Default", key).has_value())
            << "set in the site's file as the package makes it";

        // The line a site edits: ";Key=default", alone, after the comment that explains it.
        const QByteArray commented = ";" + key.toUtf8() + "=" + value.toUtf8() + "\n";
        ASSERT_EQ(file.count(commented), 1) << commented.toStdString();
        QByteArray uncommented = file;
        uncommented.replace(commented, commented.mid(1));
        const std::optional<QString> read = profile::readValue(uncommented, u"Default", key);
        ASSERT_TRUE(read.has_value()) << "not in [Default]";
        EXPECT_EQ(*read, value);
        const qsizetype at = file.indexOf(commented);
        EXPECT_TRUE(file.lastIndexOf("\n;", at - 1) > file.lastIndexOf("\n\n", at))
            << "no comment of its own";
    }

    const QString text = QString::fromUtf8(file);
    QStringList keys;
    const QRegularExpression keyLine(QStringLiteral("^\\s*;?([A-Za-z0-9]+)=(.*)$"),
                                     QRegularExpression::MultilineOption);
    for (auto it = keyLine.globalMatch(text); it.hasNext();)
        keys.append(it.next().captured(1));
    keys.sort();
    expected.sort();
    EXPECT_EQ(keys, expected);

    // Every line is a comment, the section header, or blank.
    for (const QString& line : text.split(u'\n')) {
        const QString t = line.trimmed();
        EXPECT_TRUE(t.isEmpty() || t.startsWith(u';') || t == u"[Default]") << line.toStdString();
    }
}

} // namespace
