// The --verbose trace: silent by default, whole lines when on, from any number of threads.
#include "Verbose.h"

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

class VerboseTest : public ::testing::Test
{
protected:
    void TearDown() override { SetVerbose(false); }
};

TEST_F(VerboseTest, IsOffUntilSwitchedOnAndThenWritesEachCallAsOneWholeLine)
{
    EXPECT_FALSE(Verbose());
    // Into a file rather than a pipe: a writer never blocks on one that is full.
    testing::internal::CaptureStderr();
    Trace(QStringLiteral("not shown"));
    SetVerbose(true);
    EXPECT_TRUE(Verbose());
    Trace(QStringLiteral("频道 3"));
    Trace(QStringLiteral("libvlc: main error: no suitable access module\n"));
    Trace(QStringLiteral("first\r\nsecond\nthird"));
    Trace(QString());
    SetVerbose(false);
    Trace(QStringLiteral("not shown either"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "频道 3\nlibvlc: main error: no suitable access module\nfirst  second third\n\n");
}

TEST_F(VerboseTest, LinesFromManyThreadsAreNeverMixed)
{
    SetVerbose(true);
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            // Long enough that a writer emitting the text and the line break separately, or in
            // pieces, would be caught between another thread's writes.
            const QString padding(200, QChar(u'a' + t));
            for (int i = 0; i < kLines; ++i)
                Trace(QStringLiteral("thread %1 line %2 %3").arg(t).arg(i).arg(padding));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const QStringList lines = QString::fromStdString(testing::internal::GetCapturedStderr())
                                  .split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), kThreads * kLines);
    std::vector<int> counts(kThreads, 0);
    for (const QString& line : lines) {
        const QStringList words = line.split(u' ');
        ASSERT_EQ(words.size(), 5) << line.toStdString();
        const int t = words[1].toInt();
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(words[3].toInt(), counts[t]) << "lines of one thread out of order";
        EXPECT_EQ(words[4], QString(200, QChar(u'a' + t))) << line.toStdString();
        ++counts[t];
    }
}

} // namespace
