// The session bus is connected on a thread of its own before QApplication exists: the program's
// main thread must stay Qt's main thread all the same.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>

#include "app/warm_up.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

namespace kq::test {
namespace {

QStringList g_warnings;

// A bus that takes the connection and never answers: the bus thread stays inside Qt while the
// QApplication is built, as it does at a real start.
TEST(SessionBusTest, ConnectingBesideQApplicationLeavesItTheMainThread) {
    const TempFolder folder;
    const std::filesystem::path socketPath = folder.path / "bus";
    const int bus = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(bus, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(bus, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(bus, 1), 0);
    EnvGuard env;
    env.Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + socketPath.string());

    std::jthread connecting = StartConnectingSessionBus();
    const int peer = accept(bus, nullptr, nullptr);  // the bus thread has asked Qt by now
    ASSERT_GE(peer, 0);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg) g_warnings << text;
    });
    int argc = 1;
    char name[] = "session_bus_test";
    char* argv[] = {name, nullptr};
    {
        const QApplication app(argc, argv);  // warns when it takes another thread for main
        close(peer);                         // the connection fails and the bus thread ends
        connecting.join();
    }
    qInstallMessageHandler(nullptr);
    close(bus);
    EXPECT_TRUE(g_warnings.filter("main() thread").isEmpty())
        << g_warnings.join('\n').toStdString();
}

}  // namespace
}  // namespace kq::test
