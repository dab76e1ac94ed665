#include "win32ui/small_dialogs.h"

#include "res/resource.h"
#include "win32ui/page_views.h"

namespace kq::win32ui {

AboutView::AboutView(const Settings& settings)
    : View(IDD_ABOUTBOX, TranslatorOf(settings)), logic_(settings) {
    logic_.Attach(this);
}

AboutView::~AboutView() {
    logic_.Attach(nullptr);
}

bool AboutView::OnInitDialog() {
    logic_.OnInitDialog();
    Centre();
    return true;
}

LanguageDialog::LanguageDialog(Settings& settings)
    : View(IDD_LANGUAGE_DIALOG, TranslatorOf(settings)), logic_(settings) {
    logic_.Attach(this);
}

LanguageDialog::~LanguageDialog() {
    logic_.Attach(nullptr);
    if (hwnd()) DestroyWindow(hwnd());
}

bool LanguageDialog::OnInitDialog() {
    logic_.OnInitDialog();
    Centre();
    return true;
}

void LanguageDialog::OnCommand(int id, int code, HWND control) {
    // Enter presses OK, the default button.
    if (id == IDOK) return logic_.OnOK();
    View::OnCommand(id, code, control);
}

}  // namespace kq::win32ui
