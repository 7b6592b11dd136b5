#include "Privileges.h"
#include "SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

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

QByteArray tenMegabytes()
{
    QByteArray bytes;
    for (int i = 0; bytes.size() < 10 * 1024 * 1024; ++i)
        bytes += "[S" + QByteArray::number(i) + "]\nkey=value\n";
    return bytes;
}

// Whatever lies in the file, it reads as missing and a write keeps everything that was there.
TEST(HostileSettingsFile, ReadsAsMissingAndAWriteKeepsWhatWasThere)
{
    const std::pair<const char*, QByteArray> files[] = {
        {"binary garbage", garbage(64 * 1024)},
        {"ten megabytes", tenMegabytes()},
        {"one megabyte line", "[Other]\nk=" + QByteArray(1024 * 1024, 'v') + "\n"},
        {"NUL bytes", QByteArray("[Other]\n\0\0k=\0\n", 14)}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Quorvel.ini"));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.write(bytes);
        f.close();
        CSettingsFile settings;
        EXPECT_FALSE(settings.GetBoolConfig(path, u"Default"_qs, u"MutiMode"_qs));
        EXPECT_EQ(settings.GetIntConfig(path, u"Default"_qs, u"Other"_qs), 0);
        ASSERT_TRUE(settings.SetBoolConfig(path, u"Default"_qs, u"MutiMode"_qs, true));
        EXPECT_TRUE(settings.GetBoolConfig(path, u"Default"_qs, u"MutiMode"_qs));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll().startsWith(bytes)) << "everything that was there is kept";
    }
}

// A file the user may not read, or in a folder the user may not write to: the write fails, and
// the file stays as it was with nothing left beside it.
TEST(HostileSettingsFile, AFileThatCannotBeReadOrReplacedIsKept)
{
    for (const bool unreadable : {true, false}) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Quorvel.ini"));
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("[Default]\nMutiMode=1\n");
        }
        const QString locked = unreadable ? path : dir.path();
        const QFileDevice::Permissions permissions = QFile::permissions(locked);
        QFile::setPermissions(locked, unreadable ? QFileDevice::WriteOwner
                                                 : QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        CSettingsFile settings;
        {
            WithoutPermissionOverride asUser;
            EXPECT_EQ(settings.GetBoolConfig(path, u"Default"_qs, u"MutiMode"_qs), !unreadable);
            EXPECT_FALSE(settings.SetIntConfig(path, u"Default"_qs, u"Other"_qs, 3));
        }
        QFile::setPermissions(locked, permissions);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("Quorvel.ini")});
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), QByteArray("[Default]\nMutiMode=1\n"));
    }
}

} // namespace
