#pragma once

#include "pages/page_context.h"

namespace kq {

class QtMessagePresenter final : public MessagePresenter {
  public:
    void Show(QWidget* owner, const QString& title, const QString& text, MessageIcon icon) override;
    bool Confirm(QWidget* owner, const QString& title, const QString& text, const QString& action,
                 const QString& cancel) override;
};

class QtFileDialogProvider final : public FileDialogProvider {
  public:
    std::optional<QString> GetOpenFileName(QWidget* owner, const QString& title,
                                           const QStringList& filters) override;
};

class QtProcessStarter final : public ProcessStarter {
  public:
    bool StartDetached(const QString& program, const QStringList& arguments) override;
    void ExitNow(int code) override;
};

}  // namespace kq
