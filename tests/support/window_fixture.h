#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "dialogs/link_worker.h"
#include "pages/qt_services.h"
#include "tests/support/dialog_fixture.h"

namespace kq::test {

struct RecordingPresenter final : MessagePresenter {
    struct Shown {
        QString title;
        QString text;
        MessageIcon icon;
    };
    void Show(QWidget*, const Message& m) override {
        shown.push_back({QString::fromStdString(m.title), QString::fromStdString(m.text), m.icon});
        if (whileShown) whileShown();
    }
    Answer Ask(QWidget*, const Question& q) override {
        shown.push_back({QString::fromStdString(q.title), QString::fromStdString(q.text), q.icon});
        choices = {QString::fromStdString(q.acceptText), QString::fromStdString(q.rejectText)};
        return confirm ? Answer::Accept : Answer::Reject;
    }
    std::vector<Shown> shown;
    std::function<void()> whileShown;  // runs as if the box were still open
    bool confirm = true;               // the answer to Ask
    QStringList choices;               // the buttons Ask offered last
};

struct FakeFileDialog final : FileDialogProvider {
    std::optional<QString> GetOpenFileName(QWidget*, const QString& t, const QStringList& f,
                                           const QString& d) override {
        title = t;
        filters = f;
        folder = d;
        return answer;
    }
    std::optional<QString> answer;
    QString title;
    QStringList filters;
    QString folder;
};

// Lets the worker's results arrive until it has none outstanding, by the clock (processEvents
// returns at once when nothing is queued). False when limit passed first.
bool WaitForWorker(LinkWorker& worker, std::chrono::seconds limit = std::chrono::seconds(20));
// Runs the event loop until done() holds, by the clock. False when limit passed first.
bool SpinUntil(const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(20));

// Everything a Qt window needs: the world of the windows' logic, recorders for the boxes and the
// file dialog, and a link worker whose results come back through Qt's event loop.
class WindowTest : public DialogWorld {
  protected:
    QStringList MessageTexts() const;

    RecordingPresenter messages_;
    FakeFileDialog files_;
    QtServices services_{messages_, files_};
    // The pages' worker when they are tested without the main window, which has its own.
    UiQueue ui_;
    QtUiWaker waker_{ui_};
    LinkWorker linkWorker_{link_, ui_};
};

}  // namespace kq::test
