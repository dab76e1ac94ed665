#pragma once

#include <QFont>
#include <QString>

using FcConfig = struct _FcConfig;

namespace kq {

// The templates ask for a 9-point CJK font; one that covers both languages keeps the pages
// looking the same in either.
inline const QString kWindowFontFamily = QStringLiteral("WenQuanYi Micro Hei");

// How the configuration (nullptr: the program's) asks family to be drawn: QFont::PreferNoHinting
// where it turns hinting off, QFont::PreferDefaultHinting otherwise.
QFont::HintingPreference ConfiguredHinting(const QString& family, FcConfig* config = nullptr);

// The program's font for all its windows, where that family is installed.
void ChooseFont();

}  // namespace kq
