#pragma once

#include <QFile>
#include <QString>
#include <condition_variable>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

// If the test thread is still blocked after `seconds`, fails the test and opens `fifo` for
// writing, which releases an open() or read() that waits on it.
class FifoRescue
{
public:
    FifoRescue(QString fifo, int seconds) : m_fifo(std::move(fifo))
    {
        m_thread = std::thread([this, seconds] {
            std::unique_lock lock(m_mutex);
            if (m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_finished; }))
                return;
            m_rescued = true;
            const int fd = ::open(QFile::encodeName(m_fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
        });
    }
    ~FifoRescue()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
        EXPECT_FALSE(m_rescued) << "blocked on the FIFO until it was opened for writing";
    }
    FifoRescue(const FifoRescue&) = delete;
    FifoRescue& operator=(const FifoRescue&) = delete;

private:
    QString m_fifo;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    bool m_rescued = false;
    std::thread m_thread;
};
