#include "win32ui/small_dialogs.h"

#include "resource.h"

namespace kq::win32ui {

AboutView::AboutView(Translator translate) : DialogView(IDD_ABOUTBOX, std::move(translate)) {}

void AboutView::OnInitDialog() {
    Centre();
}

LanguageView::LanguageView(Translator translate, Events events)
    : DialogView(IDD_LANGUAGE_DIALOG, std::move(translate)), events_(std::move(events)) {}

void LanguageView::OnInitDialog() {
    TranslateWindow();
    Centre();
}

void LanguageView::OnCommand(int id, int code, HWND control) {
    if (id == IDOK && events_.onOK) events_.onOK(ListSel(IDC_LANGUAGE_LIST));
    DialogView::OnCommand(id, code, control);
}

}  // namespace kq::win32ui
