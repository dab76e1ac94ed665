#include "app/app_font.h"

#include <fontconfig/fontconfig.h>

#include <QApplication>
#include <memory>

namespace kq {

// Qt 6.4 reads the hint style from the configuration but not whether a font is hinted at all.
// Debian turns hinting off for this family; hinted anyway, the autohinter scans all of its
// 30,000 characters before the window's first text is drawn.
ConfiguredFont ReadConfiguredFont(const QString& family, FcConfig* config) {
    using Pattern = std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)>;
    const QByteArray name = family.toUtf8();
    const auto* wanted = reinterpret_cast<const FcChar8*>(name.data());
    Pattern pattern(FcPatternCreate(), FcPatternDestroy);
    FcPatternAddString(pattern.get(), FC_FAMILY, wanted);
    FcConfigSubstitute(config, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    const Pattern match(FcFontMatch(config, pattern.get(), &result), FcPatternDestroy);
    ConfiguredFont configured;
    if (!match) return configured;
    // A match is always found: without the family, it is some other font. A font names its
    // family in several languages.
    FcChar8* named = nullptr;
    for (int i = 0; FcPatternGetString(match.get(), FC_FAMILY, i, &named) == FcResultMatch; ++i) {
        if (FcStrCmpIgnoreCase(named, wanted) == 0) configured.installed = true;
    }
    FcBool hinting = FcTrue;
    FcPatternGetBool(match.get(), FC_HINTING, 0, &hinting);
    if (!hinting) configured.hinting = QFont::PreferNoHinting;
    return configured;
}

void ChooseFont(const ConfiguredFont& configured) {
    if (!configured.installed) return;
    QFont font(kWindowFontFamily, 9);
    font.setHintingPreference(configured.hinting);
    QApplication::setFont(font);
}

}  // namespace kq
