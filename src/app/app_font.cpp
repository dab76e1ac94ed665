#include "app/app_font.h"

#include <fontconfig/fontconfig.h>

#include <QApplication>
#include <QFontDatabase>
#include <memory>

namespace kq {

// Qt 6.4 reads the hint style from the configuration but not whether a font is hinted at all.
// Debian turns hinting off for this family; hinted anyway, the autohinter scans all of its
// 30,000 characters before the window's first text is drawn.
QFont::HintingPreference ConfiguredHinting(const QString& family, FcConfig* config) {
    using Pattern = std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)>;
    const QByteArray name = family.toUtf8();
    Pattern pattern(FcPatternCreate(), FcPatternDestroy);
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(name.data()));
    FcConfigSubstitute(config, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    const Pattern match(FcFontMatch(config, pattern.get(), &result), FcPatternDestroy);
    FcBool hinting = FcTrue;
    if (match) FcPatternGetBool(match.get(), FC_HINTING, 0, &hinting);
    return hinting ? QFont::PreferDefaultHinting : QFont::PreferNoHinting;
}

void ChooseFont() {
    if (!QFontDatabase::families().contains(kWindowFontFamily)) return;
    QFont font(kWindowFontFamily, 9);
    font.setHintingPreference(ConfiguredHinting(kWindowFontFamily));
    QApplication::setFont(font);
}

}  // namespace kq
