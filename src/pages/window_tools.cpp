#include "pages/window_tools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include "l10n/settings.h"
#include "pages/qt_page.h"

namespace kq {
namespace {

constexpr const char* kTextKey = "textKey";
constexpr const char* kNoTranslation = "noTranslation";
constexpr const char* kAcceptsEnter = "acceptsEnter";

QString ShownText(const QWidget* w) {
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
    return {};
}

void SetShownText(QWidget* w, const QString& text) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(text);
    if (auto* l = qobject_cast<QLabel*>(w)) l->setText(text);
    if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(text);
}

bool HasText(const QWidget* w) {
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLabel*>(w) ||
           qobject_cast<const QGroupBox*>(w);
}

QString KeyOf(QWidget* w) {
    const QVariant stored = w->property(kTextKey);
    if (stored.isValid()) return stored.toString();
    const QString key = ShownText(w);
    w->setProperty(kTextKey, key);
    return key;
}

void TranslateChildren(QWidget* parent, const Settings& settings) {
    for (QObject* object : parent->children()) {
        auto* w = qobject_cast<QWidget*>(object);
        if (!w || w->isWindow() || qobject_cast<QtPage*>(w)) continue;
        if (HasText(w) && !w->property(kNoTranslation).toBool()) {
            const QString key = KeyOf(w);
            if (!key.isEmpty()) SetShownText(w, Tr(settings, key.toStdString()));
        }
        // Qt nests controls in their group boxes; their texts belong to this window all the same.
        if (!qobject_cast<QLineEdit*>(w)) TranslateChildren(w, settings);
    }
}

}  // namespace

QString Tr(const Settings& settings, std::string_view key) {
    return QString::fromStdString(settings.Translate(key));
}

void TranslateWindow(QWidget* window, const Settings& settings) {
    QVariant stored = window->property("titleKey");
    if (!stored.isValid()) {
        stored = window->windowTitle();
        window->setProperty("titleKey", stored);
    }
    if (!stored.toString().isEmpty()) {
        window->setWindowTitle(Tr(settings, stored.toString().toStdString()));
    }
    TranslateChildren(window, settings);
}

void SetTextKey(QWidget* control, const Settings& settings, std::string_view key) {
    control->setProperty(kTextKey, QString::fromUtf8(key.data(), static_cast<int>(key.size())));
    SetShownText(control, Tr(settings, key));
}

void ExcludeFromTranslation(QWidget* control) {
    control->setProperty(kNoTranslation, true);
}

QWidget* FindControl(const QWidget* root, int id) {
    const auto all = root->findChildren<QWidget*>();
    for (QWidget* w : all) {
        const QVariant v = w->property("resourceId");
        if (v.isValid() && v.toInt() == id) return w;
    }
    return nullptr;
}

QSize DialogUnitsToPixels(const QFont& font, QSize dialogUnits) {
    const QFontMetrics fm(font);
    const int avg =
        (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    return {dialogUnits.width() * avg / 4, dialogUnits.height() * fm.height() / 8};
}

EnterEscapeFilter::EnterEscapeFilter(QWidget* root) : QObject(root), root_(root) {
    qApp->installEventFilter(this);
}

EnterEscapeFilter::~EnterEscapeFilter() {
    if (qApp) qApp->removeEventFilter(this);
}

void AcceptEnter(QLineEdit* edit) {
    edit->setProperty(kAcceptsEnter, true);
}

bool EnterEscapeFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !root_) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape) return false;
    auto* target = qobject_cast<QWidget*>(watched);
    if (!target || (target != root_ && !root_->isAncestorOf(target))) return false;
    // The line edit's own handling would pass the key on to the dialog's default button.
    auto* edit = qobject_cast<QLineEdit*>(target);
    if (edit && key != Qt::Key_Escape && edit->property(kAcceptsEnter).toBool()) {
        emit edit->returnPressed();
    }
    return true;
}

}  // namespace kq
