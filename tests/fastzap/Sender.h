#pragma once

// A real multicast sender: ffmpeg sending a capture in a loop, in real time, to a group, as the
// demo network's senders do. The test binaries run only inside the private network namespace,
// where the multicast range is routed over loopback.

#include "Captures.h"
#include "WaitFor.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

class MulticastSender
{
public:
    MulticastSender(const std::string& capture, const std::string& group, int port)
    {
        const std::string url =
            "udp://" + group + ":" + std::to_string(port) + "?pkt_size=1316&ttl=1";
        const std::string path = captures::Path(capture);
        const char* argv[] = {"ffmpeg",       "-nostdin", "-loglevel", "error",      "-re",
                              "-stream_loop", "-1",       "-i",        path.c_str(), "-c",
                              "copy",         "-f",       "mpegts",    url.c_str(),  nullptr};
        if (::posix_spawnp(&m_pid, "ffmpeg", nullptr, nullptr, const_cast<char* const*>(argv),
                           environ) != 0)
            throw std::runtime_error("cannot start ffmpeg");
    }
    ~MulticastSender() { Stop(); }
    MulticastSender(const MulticastSender&) = delete;
    MulticastSender& operator=(const MulticastSender&) = delete;

    // Ends the sender and waits for it: the group falls silent.
    void Stop()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// Every test has ports of its own, so a test never hears another's sender.
inline int Port(int n)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return 20000 +
           int(std::hash<std::string>{}(std::string(info->test_suite_name()) + info->name()) %
               20000) +
           n;
}
