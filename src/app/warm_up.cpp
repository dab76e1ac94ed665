#include "app/warm_up.h"

#include <fontconfig/fontconfig.h>

#include <QDBusConnection>
#include <QFontDatabase>
#include <QImageReader>
#include <QThread>

namespace kq {

// Qt's bus connections live on a thread of Qt's own that needs no QApplication yet; one first
// asked for off the main thread delivers at once rather than from the main event loop on. Qt
// takes the first thread that asks it anything for its main thread: this one asks first.
std::jthread StartConnectingSessionBus() {
    QThread::currentThread();
    return std::jthread([] { QDBusConnection::sessionBus(); });
}

std::future<ConfiguredFont> StartReadingFontConfiguration() {
    return std::async(std::launch::async, [] {
        FcInit();
        return ReadConfiguredFont(kWindowFontFamily);
    });
}

// The font database may be filled from any thread; the UI thread's first look waits for it.
std::jthread StartReadyingFontsAndImages() {
    return std::jthread([] {
        QFontDatabase::families();
        QImageReader(":/icons/16/kq7300.png").read();
    });
}

}  // namespace kq
