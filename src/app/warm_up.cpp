#include "app/warm_up.h"

#include <fontconfig/fontconfig.h>

#include <QFontDatabase>
#include <QImageReader>

namespace kq {

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
