// The --verbose trace: silent by default, whole lines when on, from any number of threads.
#include "Verbose.h"

#include <QString>
#include <QStringList>
#include <array>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Collects what is written to standard error while it lives, through a pipe read on a thread of
// its own, so that a writer never blocks on a full pipe.
class StderrCapture
{
public:
    StderrCapture()
    {
        std::array<int, 2> fds{};
        EXPECT_EQ(::pipe(fds.data()), 0);
        m_read = fds[0];
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[1]);
        m_reader = std::thread([this] {
            std::array<char, 4096> buffer{};
            ssize_t n = 0;
            while ((n = ::read(m_read, buffer.data(), buffer.size())) > 0)
                m_text.append(buffer.data(), static_cast<size_t>(n));
        });
    }

    // Restores standard error and returns all that was written to it.
    std::string Finish()
    {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_reader.join();
        ::close(m_read);
        return m_text;
    }

    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

private:
    int m_read = -1;
    int m_saved = -1;
    std::thread m_reader;
    std::string m_text;
};

class VerboseTest : public ::testing::Test
{
protected:
    void TearDown() override { SetVerbose(false); }
};

TEST_F(VerboseTest, IsOffUntilSwitchedOnAndThenWritesTheLine)
{
    EXPECT_FALSE(Verbose());
    StderrCapture capture;
    Trace(QStringLiteral("not shown"));
    SetVerbose(true);
    EXPECT_TRUE(Verbose());
    Trace(QStringLiteral("lookup: channel 3 at 192.168.10.11, 2 ms"));
    Trace(QStringLiteral("频道 3"));
    SetVerbose(false);
    Trace(QStringLiteral("not shown either"));
    EXPECT_EQ(capture.Finish(), "lookup: channel 3 at 192.168.10.11, 2 ms\n频道 3\n");
}

TEST_F(VerboseTest, OneCallIsOneLineWhateverLineBreaksTheTextHolds)
{
    SetVerbose(true);
    StderrCapture capture;
    Trace(QStringLiteral("libvlc: main error: no suitable access module\n"));
    Trace(QStringLiteral("first\r\nsecond\nthird"));
    Trace(QString());
    EXPECT_EQ(capture.Finish(),
              "libvlc: main error: no suitable access module\nfirst  second third\n\n");
}

TEST_F(VerboseTest, LinesFromManyThreadsAreNeverMixed)
{
    SetVerbose(true);
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    StderrCapture capture;
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
    const QStringList lines =
        QString::fromStdString(capture.Finish()).split(u'\n', Qt::SkipEmptyParts);
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
