#include "SettingsFile.h"

#include "ModalWatcher.h"
#include "Privileges.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class SettingsFileTest : public ::testing::Test
{
protected:
    void write(const QByteArray& bytes)
    {
        QFile f(m_path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray contents() const
    {
        QFile f(m_path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(QStringLiteral("Quorvel.ini"));
    CSettingsFile m_settings;
};

// A flag sees the first character only, a number the first nine.
TEST_F(SettingsFileTest, ReadsThroughTheFixedBuffers)
{
    const struct
    {
        const char* value; // null: the file has no such key; "<no file>": there is no file
        bool flag;
        int number;
    } cases[] = {{"1", true, 1},
                 {"0", false, 0},
                 {"2", true, 2},
                 {"10", true, 10},
                 {"01", false, 1},
                 {"true", false, 0},
                 {"-1", false, -1},
                 {"", false, 0},
                 {"\"1\"", true, 1},
                 {" 9 ", true, 9},
                 {"+5", false, 5},
                 {"12abc", true, 12},
                 {"123456789", true, 123456789},
                 {"1234567890", true, 123456789},
                 {"-12345678", false, -12345678},
                 {"-", false, 0},
                 {nullptr, false, 0},
                 {"<no file>", false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "no key");
        QFile::remove(m_path);
        if (c.value == nullptr)
            write("[S]\nother=1\n");
        else if (std::string_view(c.value) != "<no file>")
            write(QByteArray("[S]\nn=") + c.value + "\n");
        EXPECT_EQ(m_settings.GetBoolConfig(m_path, u"S"_qs, u"n"_qs), c.flag);
        EXPECT_EQ(m_settings.GetIntConfig(m_path, u"S"_qs, u"n"_qs), c.number);
    }
}

TEST_F(SettingsFileTest, CStringReadsThirtyNineCharactersAndShowsTheErrorForNone)
{
    write("[S]\ns=" + QByteArray(50, 'x') + "\nc=中文\nempty=\n");
    EXPECT_EQ(m_settings.GetCStringConfig(m_path, u"S"_qs, u"s"_qs), QString(39, u'x'));
    EXPECT_EQ(m_settings.GetCStringConfig(m_path, u"S"_qs, u"c"_qs), u"中文"_qs);
    for (const QString& key : {u"empty"_qs, u"missing"_qs}) {
        ModalWatcher watcher;
        EXPECT_EQ(m_settings.GetCStringConfig(m_path, u"S"_qs, key), u"ERROR"_qs);
        ASSERT_EQ(watcher.seen().size(), 1u);
        EXPECT_EQ(watcher.seen()[0].text, u"GetCStringConfig ERROR!"_qs);
        EXPECT_EQ(watcher.seen()[0].title, u"quorvel"_qs);
        EXPECT_EQ(watcher.seen()[0].buttonCount, 1);
    }
}

TEST_F(SettingsFileTest, WritersProduceTheTextTheReadersExpect)
{
    EXPECT_TRUE(m_settings.SetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs, true));
    EXPECT_TRUE(m_settings.SetIntConfig(m_path, u"Default"_qs, u"Neg"_qs, -2147483647 - 1));
    EXPECT_TRUE(m_settings.SetCStringConfig(m_path, u"Other"_qs, u"Name"_qs, u"频道 一"_qs));
    EXPECT_EQ(contents(), QByteArray("[Default]\nMutiMode=1\nNeg=-2147483648\n[Other]\n"
                                     "Name=\xE9\xA2\x91\xE9\x81\x93 \xE4\xB8\x80\n"));
    EXPECT_TRUE(m_settings.SetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs, false));
    EXPECT_FALSE(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs));
}

using HostileSettingsFile = SettingsFileTest;

// Whatever lies in the file, it reads as missing and a write keeps everything that was there.
TEST_F(HostileSettingsFile, ReadsAsMissingAndAWriteKeepsWhatWasThere)
{
    // Noise without a byte-order mark or a stray section of our name.
    QByteArray noise(64 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char& c : noise)
        c = char(generator.bounded(256));
    noise[0] = 'x';
    noise.replace("[", "(");
    QByteArray tenMegabytes;
    for (int i = 0; tenMegabytes.size() < 10 * 1024 * 1024; ++i)
        tenMegabytes += "[S" + QByteArray::number(i) + "]\nkey=value\n";
    const std::pair<const char*, QByteArray> files[] = {
        {"binary garbage", noise + "\n"},
        {"ten megabytes", tenMegabytes},
        {"one megabyte line", "[Other]\nk=" + QByteArray(1024 * 1024, 'v') + "\n"},
        {"NUL bytes", QByteArray("[Other]\n\0\0k=\0\n", 14)}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        write(bytes);
        EXPECT_FALSE(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs));
        EXPECT_EQ(m_settings.GetIntConfig(m_path, u"Default"_qs, u"Other"_qs), 0);
        ASSERT_TRUE(m_settings.SetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs, true));
        EXPECT_TRUE(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs));
        EXPECT_TRUE(contents().startsWith(bytes)) << "everything that was there is kept";
    }
}

// A file the user may not read, or in a folder the user may not write to: the write fails, and
// the file stays as it was with nothing left beside it.
TEST_F(HostileSettingsFile, AFileThatCannotBeReadOrReplacedIsKept)
{
    for (const bool unreadable : {true, false}) {
        SCOPED_TRACE(unreadable ? "unreadable file" : "read-only folder");
        write("[Default]\nMutiMode=1\n");
        const QString locked = unreadable ? m_path : m_dir.path();
        const QFileDevice::Permissions permissions = QFile::permissions(locked);
        QFile::setPermissions(locked, unreadable ? QFileDevice::WriteOwner
                                                 : QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        {
            WithoutPermissionOverride asUser;
            EXPECT_EQ(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs), !unreadable);
            EXPECT_FALSE(m_settings.SetIntConfig(m_path, u"Default"_qs, u"Other"_qs, 3));
        }
        QFile::setPermissions(locked, permissions);
        EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("Quorvel.ini")});
        EXPECT_EQ(contents(), QByteArray("[Default]\nMutiMode=1\n"));
    }
}

} // namespace
