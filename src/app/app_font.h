#pragma once

#include <QFont>
#include <QString>

using FcConfig = struct _FcConfig;

namespace kq {

// The templates ask for a 9-point CJK font; one that covers both languages keeps the pages
// looking the same in either.
inline const QString kWindowFontFamily = QStringLiteral("WenQuanYi Micro Hei");

// What a font configuration makes of a family: whether it has a font of that family at all, and
// how it asks that font drawn (QFont::PreferNoHinting where it turns hinting off).
struct ConfiguredFont {
    bool installed = false;
    QFont::HintingPreference hinting = QFont::PreferDefaultHinting;
};

// Reads it from the configuration (nullptr: the program's). Needs no QApplication, so it runs
// beside the window system's start.
ConfiguredFont ReadConfiguredFont(const QString& family, FcConfig* config = nullptr);

// Makes kWindowFontFamily, as configured, the font of all the program's windows where it is
// installed.
void ChooseFont(const ConfiguredFont& configured);

}  // namespace kq
