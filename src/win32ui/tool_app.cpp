#include "win32ui/tool_window.h"

#include <string>

#include "os/os.h"
#include "l10n/settings.h"
#include "resource.h"
#include "win32ui/system_dialogs.h"

namespace kq::win32ui {
namespace {

// The caption; never translated.
constexpr const char* kCaption = "KQ7300";
constexpr const char* kNoProductId = "XX-XX-XX-XX-XX-XX";

// Every text status part 0 can show, so that its width fits the longest.
constexpr const char* kPresenceKeys[] = {
    "WarningGeneral.DeviceConnect", "WarningGeneral.DeviceDisconnect",
    "WarningGeneral.DeviceSilent", "WarningGeneral.DeviceInLoader",
    "WarningGeneral.DeviceNoPermission"};

constexpr const char* kLanguageKeys[] = {"ConfigGeneral.English", "ConfigGeneral.SimpChinese"};
constexpr const char* kLanguageNames[] = {"English", "SimpChinese"};

std::string ProductIdText(const Translator& translate, const std::string& id) {
    std::string text = translate("WarningGeneral.ProductId");
    const size_t at = text.find("%1");
    if (at == std::string::npos) return text + ": " + id;
    return text.replace(at, 2, id);
}

}  // namespace

ToolWindow::ToolWindow(Settings& settings, Translator translate)
    : main(translate, MainView::Events{.onSelChange = [this](int tab) { OnSelChange(tab); },
                                       .onClose = [this] { main.EndDialog(IDCANCEL); },
                                       .onAbout = [this] { OnAbout(); },
                                       .onInitDialog = [this] { OnInitDialog(); }}),
      led(translate),
      system(translate),
      flip(translate),
      settings_(settings),
      translate_(std::move(translate)) {}

bool ToolWindow::Create() {
    return main.Create();
}

void ToolWindow::Run() {
    main.DoModal();
}

void ToolWindow::OnInitDialog() {
    std::vector<std::string> presence;
    // Notices put a blank before the text.
    for (const char* key : kPresenceKeys) presence.push_back(" " + translate_(key));
    main.FitStatusPart(presence);
    main.SetStatusText(0, translate_("WarningGeneral.DeviceDisconnect"));
    main.SetStatusText(1, ProductIdText(translate_, kNoProductId));

    HWND pages = main.tabControl();
    led.Create(pages);
    system.Create(pages);
    flip.Create(pages);
    main.AddTab("Tab.Led", led);
    main.AddTab("Tab.Flip", flip);
    main.AddTab("Tab.System", system);

    // Until the pages' own set-up takes over: the current at the slider's 0, the language in
    // use chosen in the list.
    led.SetText(IDC_CURRENT_EDIT, std::to_string(led.SliderPos()));
    for (const char* key : kLanguageKeys) system.AddListEntry(IDC_LANGUAGE_COMBO, key);
    const bool chinese = settings_.CurrentLanguageFile.ends_with("SimpChinese.lang");
    system.SetListSel(IDC_LANGUAGE_COMBO, chinese ? 1 : 0);

    main.SetText(0, kCaption);
    main.ShowPage(0);
    main.Centre();
}

void ToolWindow::OnSelChange(int tab) {
    main.ShowPage(tab);
    // A page is set up again on every selection of its tab.
    if (DialogView* page = main.PageOf(tab)) page->TranslateWindow();
}

void ToolWindow::OnAbout() {
    AboutView about(translate_);
    about.DoModal(main.hwnd());
}

void AskLanguage(Settings& settings, const Translator& translate) {
    LanguageView dialog(translate, {.onOK = [&settings](int index) {
                            if (index == 0 || index == 1) {
                                settings.SaveLanguageChoice(kLanguageNames[index]);
                            }
                        }});
    if (!dialog.Create()) return;
    for (const char* key : kLanguageKeys) dialog.AddListEntry(IDC_LANGUAGE_LIST, key);
    const bool chinese = (settings.locale().SystemDefaultLanguage() & 0xFF) == kLangChinese;
    dialog.SetListSel(IDC_LANGUAGE_LIST, chinese ? 1 : 0);
    dialog.DoModal();
    if (settings.TakeWriteFailureNotice()) {
        ShowMessage(nullptr, translate("WarningConfig.Title"), translate("WarningConfig.WriteFail"),
                    MessageKind::Warning);
    }
}

}  // namespace kq::win32ui
