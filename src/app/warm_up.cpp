#include "app/warm_up.h"

#include <fontconfig/fontconfig.h>

#include <QImageReader>

namespace kq {

std::jthread StartReadingFontConfiguration() {
    return std::jthread([] { FcInit(); });
}

std::jthread StartReadyingImageReaders() {
    return std::jthread([] { QImageReader(":/icons/16/kq7300.png").read(); });
}

}  // namespace kq
