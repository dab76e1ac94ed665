#pragma once

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>
#include <string_view>

class QFont;
class QLineEdit;

namespace kq {

class Settings;

QString Tr(const Settings& settings, std::string_view key);

// Replaces the caption and the texts of the window's own controls by their translations. Each
// control is translated from the key it was created with (or last given by SetTextKey), so a
// second call changes nothing. Line edits hold data, not keys, and are left alone; so are the
// controls of nested pages, which translate themselves.
void TranslateWindow(QWidget* window, const Settings& settings);

// Gives a control a new key and shows its translation.
void SetTextKey(QWidget* control, const Settings& settings, std::string_view key);

// Keeps TranslateWindow away from a control (a button that shows a picture instead of text).
void ExcludeFromTranslation(QWidget* control);

void AcceptEnter(QLineEdit* edit);

// The control created with this resource id, anywhere under root.
QWidget* FindControl(const QWidget* root, int id);
template <class T>
T* FindControl(const QWidget* root, int id) {
    return qobject_cast<T*>(FindControl(root, id));
}

// A dialog template's size in pixels for the font, measured as the dialog manager does: a
// horizontal unit is a quarter of the average character width, a vertical one an eighth of
// the character height.
QSize DialogUnitsToPixels(const QFont& font, QSize dialogUnits);

// Swallows key presses of Enter and Escape aimed at root or any control inside it, before the
// control sees them: neither key closes a window or presses a default button. A line edit given
// to AcceptEnter still hears its Enter, as returnPressed, and nothing else does.
class EnterEscapeFilter : public QObject {
  public:
    explicit EnterEscapeFilter(QWidget* root);
    ~EnterEscapeFilter() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QPointer<QWidget> root_;
};

}  // namespace kq
