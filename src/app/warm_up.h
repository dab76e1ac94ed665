#pragma once

#include <future>
#include <thread>

#include "app/app_font.h"

namespace kq {

// Work that the window's first paint needs and that needs no window: each runs on a thread of
// its own while the window system starts and the window is built, and ends when joined or
// destroyed.

// Connects to the session bus, which the accessibility bridge asks for on the window's first
// text and waits for there (with no bus running, until dbus-launch has been tried). Called on
// the main thread before anything else of Qt's, and may be before the QApplication.
std::jthread StartConnectingSessionBus();

// Reads the font configuration (a few milliseconds) and what it makes of the window font.
std::future<ConfiguredFont> StartReadingFontConfiguration();

// Fills the font database, which the window's first text waits for, then reads one small
// picture, which readies what every later one uses: the list of image plugins and the PNG
// decoder, for the style's own pictures in the first paint. Needs the QApplication and the font
// configuration read.
std::jthread StartReadyingFontsAndImages();

}  // namespace kq
