#pragma once

#include <thread>

namespace kq {

// Work that the window's first paint needs and that needs no window: each runs on a thread of
// its own while the window system starts and the window is built, and ends when joined or
// destroyed.

// Reads the font configuration (a few milliseconds); the font database finds it done.
std::jthread StartReadingFontConfiguration();

// Reads one small picture, which readies what every later one uses: the list of image plugins
// and the PNG decoder. The style's own pictures in the first paint find them ready. Needs the
// QApplication.
std::jthread StartReadyingImageReaders();

}  // namespace kq
