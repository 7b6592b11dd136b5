#pragma once

#include <QApplication>
#include <chrono>
#include <memory>

// The application object: owns the Qt application and runs the channel window.
class CChannelPlayerApp
{
public:
    // How long the program waits at exit for players still being stopped.
    static constexpr std::chrono::milliseconds kExitGrace{1500};

    CChannelPlayerApp(int& argc, char** argv);
    ~CChannelPlayerApp();

    // Runs the channel window modally. Returns false: when the window closes there is nothing
    // left to run, and the process ends.
    bool InitInstance();

private:
    std::unique_ptr<QApplication> m_app;
};
