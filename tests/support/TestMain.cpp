// One QApplication for the whole test binary: widgets, message boxes and timers need it.
#include "Background.h"
#include "Listeners.h"
#include "ModalWatcher.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Tests open sockets, join multicast groups and reach the built-in storage-server addresses.
    // Outside the private test network any of that could leave this machine, so refuse to run.
    // Listing the tests (as CTest does after a build) touches nothing.
    const bool listing = argc > 1 && std::strcmp(argv[1], "--gtest_list_tests") == 0;
    if (!listing && (!IsLocalAddress("192.168.10.11") || !IsLocalAddress("192.168.10.12"))) {
        std::fputs("Run the tests inside the private test network: "
                   "scripts/in-netns.sh ctest --test-dir build\n",
                   stderr);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quorvel"));
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const UnexpectedBoxGuard guard;
    const int result = RUN_ALL_TESTS();
    // Players let go by the tests are still being stopped on threads of their own; ending the
    // process under them would tear libvlc down while they use it.
    if (!background::WaitForAll(std::chrono::seconds(20))) {
        std::fputs("background jobs still running at the end of the tests\n", stderr);
        std::fflush(nullptr);
        std::_Exit(result == 0 ? 1 : result);
    }
    curl_global_cleanup();
    return result;
}
