#include "Verbose.h"

#include <QByteArray>
#include <atomic>
#include <cerrno>
#include <unistd.h>

namespace {

std::atomic<bool> g_verbose{false};

} // namespace

void SetVerbose(bool on)
{
    g_verbose.store(on, std::memory_order_relaxed);
}

bool Verbose()
{
    return g_verbose.load(std::memory_order_relaxed);
}

void Trace(const QString& line)
{
    if (!Verbose())
        return;
    QByteArray bytes = line.toUtf8();
    while (!bytes.isEmpty() && (bytes.back() == '\n' || bytes.back() == '\r'))
        bytes.chop(1);
    bytes.replace('\r', ' ').replace('\n', ' ');
    bytes.append('\n');
    // One write() per line: stdio may split a long line into several writes, and another
    // thread's line could land between them. A write of up to PIPE_BUF bytes to a pipe is never
    // interleaved; a longer one is retried from where it stopped.
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        left -= written;
    }
}
