#pragma once

#include <QApplication>
#include <memory>

// The application object: owns the Qt application and runs the channel window.
class CChannelPlayerApp
{
public:
    CChannelPlayerApp(int& argc, char** argv);
    ~CChannelPlayerApp();

    // Runs the channel window modally. Returns false: when the window closes there is nothing
    // left to run, and the process ends.
    bool InitInstance();

private:
    std::unique_ptr<QApplication> m_app;
};
