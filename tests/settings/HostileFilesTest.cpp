#include "ModalWatcher.h"
#include "Privileges.h"
#include "SettingsFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct HostileCase
{
    const char* name;
    std::function<QByteArray()> contents;
};

void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.name;
}

class HostileSettings : public ::testing::TestWithParam<HostileCase>
{
protected:
    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(QStringLiteral("Quorvel.ini"));
    CSettingsFile m_settings;
};

TEST_P(HostileSettings, ReadQuicklyAsMissingOrFirstValueAndWriteSafely)
{
    const QByteArray bytes = GetParam().contents();
    {
        QFile f(m_path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs));
    EXPECT_EQ(m_settings.GetIntConfig(m_path, u"Default"_qs, u"Other"_qs), 0);
    EXPECT_LT(clock.elapsed(), 10000) << "a settings file never holds the program up";

    ASSERT_TRUE(m_settings.SetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs, true));
    EXPECT_TRUE(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs));
    QFile f(m_path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray after = f.readAll();
    EXPECT_TRUE(after.startsWith(bytes)) << "everything that was there is kept";
}

QByteArray garbage(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char& c : bytes)
        c = char(generator.bounded(256));
    // No byte-order mark, no stray section of our name: the file is noise.
    bytes[0] = 'x';
    bytes.replace("[", "(");
    return bytes + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostileSettings,
    ::testing::Values(HostileCase{"binary_garbage",
                                  [] {
                                      return garbage(64 * 1024);
                                  }},
                      HostileCase{"ten_megabytes",
                                  [] {
                                      QByteArray bytes;
                                      for (int i = 0; bytes.size() < 10 * 1024 * 1024; ++i)
                                          bytes += "[S" + QByteArray::number(i) + "]\nkey=value\n";
                                      return bytes;
                                  }},
                      HostileCase{"one_megabyte_line",
                                  [] {
                                      return "[Other]\nk=" + QByteArray(1024 * 1024, 'v') + "\n";
                                  }},
                      HostileCase{"nul_bytes",
                                  [] {
                                      return QByteArray("[Other]\n\0\0k=\0\n", 14);
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostileSettingsFile, UnreadableFileReadsAsMissingAndIsNotReplaced)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Quorvel.ini"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Default]\nMutiMode=1\n");
    }
    QFile::setPermissions(path, QFileDevice::WriteOwner);
    CSettingsFile settings;
    WithoutPermissionOverride asUser;
    EXPECT_FALSE(settings.GetBoolConfig(path, u"Default"_qs, u"MutiMode"_qs));
    EXPECT_FALSE(settings.SetIntConfig(path, u"Default"_qs, u"Other"_qs, 3));
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("[Default]\nMutiMode=1\n"));
}

TEST(HostileSettingsFile, ReadOnlyFolderFailsTheWriteAndKeepsTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Quorvel.ini"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Default]\nMutiMode=0\n");
    }
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    CSettingsFile settings;
    {
        WithoutPermissionOverride asUser;
        EXPECT_FALSE(settings.SetBoolConfig(path, u"Default"_qs, u"MutiMode"_qs, true));
        EXPECT_FALSE(settings.GetBoolConfig(path, u"Default"_qs, u"MutiMode"_qs));
    }
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("Quorvel.ini")});
}

} // namespace
