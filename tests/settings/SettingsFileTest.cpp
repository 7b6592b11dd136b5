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
    QString write(const QByteArray& bytes)
    {
        QFile f(m_path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return m_path;
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

struct BoolCase
{
    const char* value;
    bool expected;
};

class BoolConfig : public SettingsFileTest, public ::testing::WithParamInterface<BoolCase>
{};

TEST_P(BoolConfig, SeesOnlyTheFirstCharacter)
{
    write(QByteArray("[Default]\nMutiMode=") + GetParam().value + "\n");
    EXPECT_EQ(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs), GetParam().expected)
        << "value " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, BoolConfig,
                         ::testing::Values(BoolCase{"1", true}, BoolCase{"0", false},
                                           BoolCase{"2", true}, BoolCase{"10", true},
                                           BoolCase{"01", false}, BoolCase{"true", false},
                                           BoolCase{"-1", false}, BoolCase{"", false},
                                           BoolCase{"\"1\"", true}, BoolCase{" 9 ", true}),
                         [](const auto& info) { return "value_" + CaseName(info.param.value); });

TEST_F(SettingsFileTest, MissingFileOrKeyIsFalseAndZero)
{
    EXPECT_FALSE(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs));
    EXPECT_EQ(m_settings.GetIntConfig(m_path, u"Default"_qs, u"Count"_qs), 0);
    write("[Default]\nOther=1\n");
    EXPECT_FALSE(m_settings.GetBoolConfig(m_path, u"Default"_qs, u"MutiMode"_qs));
}

struct IntCase
{
    const char* value;
    int expected;
};

class IntConfig : public SettingsFileTest, public ::testing::WithParamInterface<IntCase>
{};

TEST_P(IntConfig, ReadsLeadingDigitsOfNineCharacters)
{
    write(QByteArray("[S]\nn=") + GetParam().value + "\n");
    EXPECT_EQ(m_settings.GetIntConfig(m_path, u"S"_qs, u"n"_qs), GetParam().expected)
        << "value " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, IntConfig,
                         ::testing::Values(IntCase{"42", 42}, IntCase{"-17", -17}, IntCase{"+5", 5},
                                           IntCase{"12abc", 12}, IntCase{"abc", 0},
                                           IntCase{"123456789", 123456789},
                                           IntCase{"1234567890", 123456789},
                                           IntCase{"-12345678", -12345678}, IntCase{"-", 0}),
                         [](const auto& info) { return "value_" + CaseName(info.param.value); });

TEST_F(SettingsFileTest, CStringReadsThirtyNineCharacters)
{
    write("[S]\ns=" + QByteArray(50, 'x') + "\nc=中文\n");
    EXPECT_EQ(m_settings.GetCStringConfig(m_path, u"S"_qs, u"s"_qs), QString(39, u'x'));
    EXPECT_EQ(m_settings.GetCStringConfig(m_path, u"S"_qs, u"c"_qs), u"中文"_qs);
}

TEST_F(SettingsFileTest, EmptyCStringShowsTheErrorOnceAndReturnsERROR)
{
    write("[S]\nempty=\n");
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
