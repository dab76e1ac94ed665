#include "dialogs/tool_app.h"

#include "l10n/settings.h"

namespace kq {

CToolApp::CToolApp(Settings& settings, std::string moduleDir, StartUpView& view)
    : settings_(settings), moduleDir_(std::move(moduleDir)), view_(view) {}

bool CToolApp::InitInstance() {
    if (!settings_.LanguageFilePath(moduleDir_)) {
        view_.RunLanguageDialog();
        if (settings_.TakeWriteFailureNotice()) {
            view_.ShowMessage({settings_.Translate("WarningConfig.Title"),
                               settings_.Translate("WarningConfig.WriteFail"),
                               MessageIcon::Warning});
        }
    }
    const std::jthread texts = settings_.ReadTextsAhead();
    view_.RunMainWindow();
    return false;
}

}  // namespace kq
