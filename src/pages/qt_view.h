#pragma once

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QComboBox>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QSignalBlocker>
#include <utility>

#include "dialogs/views.h"
#include "pages/qt_services.h"
#include "pages/window_tools.h"

namespace kq {

class Settings;

// A Qt window as the view of a window's logic: the controls the logic names by resource id are
// the widgets whose resourceId property (set in the forms) carries that id. Widget is the Qt
// base (QWidget, QDialog, a page), Interface the view the logic talks to.
template <class Widget, class Interface>
class QtView : public Widget, public Interface {
  public:
    template <class... WidgetArgs>
    QtView(const Settings& settings, QtServices& services, WidgetArgs&&... args)
        : Widget(std::forward<WidgetArgs>(args)...), settings_(settings), services_(services) {}

    void TranslateWindow() override { kq::TranslateWindow(this, settings_); }
    void SetTextKey(int id, std::string_view key) override {
        if (QWidget* w = Control(id)) kq::SetTextKey(w, settings_, key);
    }
    void SetText(int id, const std::string& text) override {
        const QString shown = QString::fromStdString(text);
        QWidget* w = Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(shown);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            button->setText(shown);
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            label->setText(shown);
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            group->setTitle(shown);
        }
    }
    std::string GetText(int id) const override {
        QWidget* w = Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text().toStdString();
        if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text().toStdString();
        if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
        if (auto* group = qobject_cast<QGroupBox*>(w)) return group->title().toStdString();
        return {};
    }
    void SetEnabled(int id, bool enabled) override {
        if (QWidget* w = Control(id)) w->setEnabled(enabled);
    }
    void SetChecked(int id, bool checked) override {
        if (auto* b = qobject_cast<QAbstractButton*>(Control(id))) b->setChecked(checked);
    }
    bool IsChecked(int id) const override {
        auto* b = qobject_cast<QAbstractButton*>(Control(id));
        return b && b->isChecked();
    }
    void SetRange(int id, int low, int high) override {
        QWidget* w = Control(id);
        if (auto* slider = qobject_cast<QAbstractSlider*>(w)) {
            const QSignalBlocker quiet(slider);
            slider->setRange(low, high);
        } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
            bar->setRange(low, high);
        }
    }
    // A slider moved for the program says nothing: only the user's moves are reported.
    void SetPosition(int id, int position) override {
        QWidget* w = Control(id);
        if (auto* slider = qobject_cast<QAbstractSlider*>(w)) {
            const QSignalBlocker quiet(slider);
            slider->setValue(position);
        } else if (auto* bar = qobject_cast<QProgressBar*>(w)) {
            bar->setValue(position);
        }
    }
    int GetPosition(int id) const override {
        QWidget* w = Control(id);
        if (auto* slider = qobject_cast<QAbstractSlider*>(w)) return slider->value();
        if (auto* bar = qobject_cast<QProgressBar*>(w)) return bar->value();
        return 0;
    }
    void AddItem(int id, const std::string& text) override {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id))) {
            combo->addItem(QString::fromStdString(text));
        }
    }
    void SetSelection(int id, int index) override {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->setCurrentIndex(index);
    }
    int GetSelection(int id) const override {
        auto* combo = qobject_cast<QComboBox*>(Control(id));
        return combo ? combo->currentIndex() : -1;
    }
    void SetFocus(int id) override {
        if (QWidget* w = Control(id)) w->setFocus();
    }
    void SelectText(int id) override {
        if (auto* edit = qobject_cast<QLineEdit*>(Control(id))) {
            edit->setFocus();
            edit->selectAll();
        }
    }
    void ShowMessage(const Message& message) override { services_.messages.Show(this, message); }
    Answer Ask(const Question& question) override { return services_.messages.Ask(this, question); }
    std::optional<std::string> ChooseFile(const FileChoice& choice) override {
        QStringList filters;
        for (const FileFilter& filter : choice.filters) {
            QStringList patterns;
            for (const std::string& p : filter.patterns) patterns << QString::fromStdString(p);
            filters << QString::fromStdString(filter.name) + " (" + patterns.join(' ') + ")";
        }
        const std::optional<QString> path =
            services_.files.GetOpenFileName(this, QString::fromStdString(choice.title), filters,
                                            QString::fromStdString(choice.startFolder));
        if (!path) return std::nullopt;
        return path->toStdString();
    }

  protected:
    // The widget created with this resource id, found once.
    QWidget* Control(int id) const {
        QPointer<QWidget>& known = controls_[id];
        if (!known) known = FindControl(this, id);
        return known;
    }

    const Settings& settings_;
    QtServices& services_;

  private:
    mutable QHash<int, QPointer<QWidget>> controls_;
};

}  // namespace kq
