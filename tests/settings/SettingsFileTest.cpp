#include "SettingsFile.h"

#include "ModalWatcher.h"
#include "TestNames.h"

#include <QFile>
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

struct ValueCase
{
    const char* value; // null: the file has no such key; "<no file>": there is no file
    bool flag;
    int number;
};

class ConfigValue : public SettingsFileTest, public ::testing::WithParamInterface<ValueCase>
{};

// A flag sees the first character only, a number the first nine.
TEST_P(ConfigValue, ReadsThroughTheFixedBuffers)
{
    const ValueCase& c = GetParam();
    if (c.value == nullptr)
        write("[S]\nother=1\n");
    else if (std::string_view(c.value) != "<no file>")
        write(QByteArray("[S]\nn=") + c.value + "\n");
    EXPECT_EQ(m_settings.GetBoolConfig(m_path, u"S"_qs, u"n"_qs), c.flag);
    EXPECT_EQ(m_settings.GetIntConfig(m_path, u"S"_qs, u"n"_qs), c.number);
}

INSTANTIATE_TEST_SUITE_P(Values, ConfigValue,
                         ::testing::Values(ValueCase{"1", true, 1}, ValueCase{"0", false, 0},
                                           ValueCase{"2", true, 2}, ValueCase{"10", true, 10},
                                           ValueCase{"01", false, 1}, ValueCase{"true", false, 0},
                                           ValueCase{"-1", false, -1}, ValueCase{"", false, 0},
                                           ValueCase{"\"1\"", true, 1}, ValueCase{" 9 ", true, 9},
                                           ValueCase{"+5", false, 5}, ValueCase{"12abc", true, 12},
                                           ValueCase{"123456789", true, 123456789},
                                           ValueCase{"1234567890", true, 123456789},
                                           ValueCase{"-12345678", false, -12345678},
                                           ValueCase{"-", false, 0}, ValueCase{nullptr, false, 0},
                                           ValueCase{"<no file>", false, 0}),
                         [](const auto& info) {
                             return info.param.value == nullptr
                                        ? std::string("no_key")
                                        : "value_" + CaseName(info.param.value);
                         });

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

} // namespace
