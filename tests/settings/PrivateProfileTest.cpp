#include "PrivateProfile.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

QByteArray utf16le(const QString& text)
{
    return QStringEncoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom)(text);
}

TEST(ProfileRead, FindsTheValueTheWayWindowsDoes)
{
    const struct
    {
        const char* name;
        QByteArray file;
        const char16_t* section;
        const char16_t* key;
        std::optional<QString> expected;
    } cases[] = {
        {"names ignore case", "[default]\nmutimode=1\n", u"DEFAULT", u"MUTIMODE", u"1"_qs},
        {"blanks trimmed", "  [Default]  \n \t MutiMode \t=  1 \t\n", u"Default", u"MutiMode",
         u"1"_qs},
        {"blanks inside brackets", "[ Default ]\nk=v\n", u"Default", u"k", u"v"_qs},
        {"header ends at first ]", "[Default]junk]\nk=v\n", u"Default", u"k", u"v"_qs},
        {"comment line", "[Default]\n;k=commented\nk=real\n", u"Default", u"k", u"real"_qs},
        {"indented comment", "[Default]\n  ; k=x\n", u"Default", u"k", std::nullopt},
        {"line without = is no key", "[Default]\nk\nk=v\n", u"Default", u"k", u"v"_qs},
        {"first key wins", "[Default]\nk=first\nk=second\n", u"Default", u"k", u"first"_qs},
        {"only first section searched", "[A]\nx=1\n[B]\n[A]\nk=late\n", u"A", u"k", std::nullopt},
        {"keys before any section", "k=v\n[A]\n", u"A", u"k", std::nullopt},
        {"key in another section", "[A]\nk=a\n[B]\nk=b\n", u"B", u"k", u"b"_qs},
        {"empty value is found", "[A]\nk=\n", u"A", u"k", u""_qs},
        {"value keeps inner =", "[A]\nk=a=b\n", u"A", u"k", u"a=b"_qs},
        {"double quotes stripped", "[A]\nk=\"quoted\"\n", u"A", u"k", u"quoted"_qs},
        {"single quotes stripped", "[A]\nk='quoted'\n", u"A", u"k", u"quoted"_qs},
        {"only one pair stripped", "[A]\nk=\"\"x\"\"\n", u"A", u"k", u"\"x\""_qs},
        {"mismatched quotes kept", "[A]\nk=\"x'\n", u"A", u"k", u"\"x'"_qs},
        {"lone quote kept", "[A]\nk=\"\n", u"A", u"k", u"\""_qs},
        {"pair of quotes is empty", "[A]\nk=\"\"\n", u"A", u"k", u""_qs},
        {"CRLF", "[A]\r\nk=v\r\nj=w\r\n", u"A", u"j", u"w"_qs},
        {"lone CR", "[A]\rk=v\rj=w\r", u"A", u"j", u"w"_qs},
        {"no final line break", "[A]\nk=v", u"A", u"k", u"v"_qs},
        {"UTF-8 with BOM", "\xEF\xBB\xBF[A]\nk=v\n", u"A", u"k", u"v"_qs},
        {"UTF-8 names and values", "[频道]\n模式=中文\n", u"频道", u"模式", u"中文"_qs},
        {"UTF-16LE with BOM", utf16le(u"[频道]\r\nk=中文\r\n"_qs), u"频道", u"k", u"中文"_qs},
        {"empty file", "", u"A", u"k", std::nullopt},
        {"U+FEFF inside is a character", "\xEF\xBB\xBF[A]\n\xEF\xBB\xBFk=\xEF\xBB\xBFv\n", u"A",
         u"\uFEFFk", u"\uFEFFv"_qs},
        {"unclosed header is not a header", "[A\nk=v\n", u"A", u"k", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(profile::readValue(c.file, c.section, c.key), c.expected);
    }
}

// A write changes only what it must, and what it wrote reads back.
TEST(ProfileWrite, ChangesOnlyWhatItMust)
{
    const struct
    {
        const char* name;
        QByteArray before;
        const char16_t* section;
        const char16_t* key;
        const char16_t* value;
        QByteArray after;
    } cases[] = {
        {"replace in place", "; top\n[A]\nk = old ; not a comment \nz=1\n", u"A", u"k", u"new",
         "; top\n[A]\nk = new \nz=1\n"},
        {"replace empty value", "[A]\nk=\nz=1\n", u"A", u"K", u"v", "[A]\nk=v\nz=1\n"},
        {"replace keeps CRLF", "[A]\r\nk=1\r\n", u"A", u"k", u"0", "[A]\r\nk=0\r\n"},
        {"new key after last key of section", "[A]\nx=1\n\n; c\n[B]\ny=2\n", u"A", u"k", u"v",
         "[A]\nx=1\nk=v\n\n; c\n[B]\ny=2\n"},
        {"new key in empty section", "[A]\n[B]\n", u"A", u"k", u"v", "[A]\nk=v\n[B]\n"},
        {"new key uses file's CR", "[A]\rx=1\r", u"A", u"k", u"v", "[A]\rx=1\rk=v\r"},
        {"new key after the last key, not a comment", "[A]\nx=1\n;y=2\n[B]\n", u"A", u"k", u"v",
         "[A]\nx=1\nk=v\n;y=2\n[B]\n"},
        {"new key at end without final break", "[A]\nx=1", u"A", u"k", u"v", "[A]\nx=1\nk=v"},
        {"new section at end", "[A]\nx=1\n", u"B", u"k", u"v", "[A]\nx=1\n[B]\nk=v\n"},
        {"new section after missing final break", "[A]\r\nx=1", u"B", u"k", u"v",
         "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
        {"new file", "", u"Default", u"MutiMode", u"1", "[Default]\nMutiMode=1\n"},
        {"keeps UTF-8 BOM", "\xEF\xBB\xBF[A]\nk=1\n", u"A", u"k", u"中",
         "\xEF\xBB\xBF[A]\nk=\xE4\xB8\xAD\n"},
        {"keeps invalid bytes elsewhere", "[A]\n\xFF\xFE junk\nk=1\n", u"A", u"k", u"2",
         "[A]\n\xFF\xFE junk\nk=2\n"},
        {"UTF-16LE stays UTF-16LE", utf16le(u"[A]\r\nk=1\r\n"_qs), u"A", u"k", u"中",
         utf16le(u"[A]\r\nk=中\r\n"_qs)},
        {"first section only", "[A]\nk=1\n[A]\nk=2\n", u"a", u"k", u"3", "[A]\nk=3\n[A]\nk=2\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<QByteArray> after =
            profile::writeValue(c.before, c.section, c.key, c.value);
        EXPECT_EQ(after, c.after);
        EXPECT_EQ(profile::readValue(after.value_or(""), c.section, c.key),
                  QString::fromUtf16(c.value));
    }
}

TEST(ProfileWrite, RefusesWhatWouldChangeTheFileStructure)
{
    const QByteArray file = "[A]\nk=1\n";
    EXPECT_FALSE(profile::writeValue(file, u"A", u"k", u"1\n[B]"));
    EXPECT_FALSE(profile::writeValue(file, u"A", u"k", u"1\rx=2"));
    EXPECT_FALSE(profile::writeValue(file, u"A]", u"k", u"1"));
    EXPECT_FALSE(profile::writeValue(file, u"A", u"k=j", u"1"));
    EXPECT_FALSE(profile::writeValue(file, u"", u"k", u"1"));
    EXPECT_FALSE(profile::writeValue(file, u"A", u" ", u"1"));
    const char16_t lone[] = {u'k', 0xD800, 0};
    EXPECT_FALSE(profile::writeValue(file, u"A", lone, u"1"));
    EXPECT_FALSE(profile::writeValue(file, u"A", u"k", lone));
}

class ProfileFiles : public ::testing::Test
{
protected:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QStringList entries() const
    {
        return QDir(m_dir.path())
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden);
    }
    QTemporaryDir m_dir;
};

TEST_F(ProfileFiles, WriteCreatesTheFileLeavesNoTemporaryAndTheBufferBoundsTheRead)
{
    ASSERT_TRUE(profile::WritePrivateProfileString(u"Default", u"MutiMode", u"1", path("q.ini")));
    ASSERT_TRUE(profile::WritePrivateProfileString(u"Default", u"k", u"abcdefghij", path("q.ini")));
    QFile f(path("q.ini"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "[Default]\nMutiMode=1\nk=abcdefghij\n");
    EXPECT_EQ(entries(), QStringList{QStringLiteral("q.ini")});
    EXPECT_EQ(profile::GetPrivateProfileString(u"Default", u"k", 4, path("q.ini")), u"abc"_qs);
    EXPECT_EQ(profile::GetPrivateProfileString(u"Default", u"k", 11, path("q.ini")),
              u"abcdefghij"_qs);
    EXPECT_EQ(profile::GetPrivateProfileString(u"Default", u"k", 1, path("q.ini")), QString());
}

TEST_F(ProfileFiles, WhatIsNoPlainFileReadsAsEmptyAndIsNeverReplaced)
{
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("dir.ini")));
    // Nothing ever writes to this FIFO: reading it would block for good.
    ASSERT_EQ(mkfifo(path("fifo.ini").toLocal8Bit().constData(), 0600), 0);
    for (const char* name : {"dir.ini", "fifo.ini", "none/q.ini"}) {
        EXPECT_EQ(profile::GetPrivateProfileString(u"A", u"k", 40, path(name)), QString()) << name;
        EXPECT_FALSE(profile::WritePrivateProfileString(u"A", u"k", u"v", path(name))) << name;
    }
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("dir.ini"), QStringLiteral("fifo.ini")}));
    EXPECT_TRUE(QDir(path("dir.ini")).isEmpty());
}

} // namespace
