#include "pages/deferred_icon.h"

#include <QIconEngine>
#include <QPainter>
#include <memory>
#include <optional>

namespace kq {
namespace {

struct Made {
    std::function<QIcon()> make;
    std::optional<QIcon> icon;
};

class DeferredIconEngine final : public QIconEngine {
  public:
    explicit DeferredIconEngine(std::shared_ptr<Made> made) : made_(std::move(made)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        Icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Icon().pixmap(size, 1.0, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        return Icon().pixmap((QSizeF(size) / scale).toSize(), scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return Icon().availableSizes(mode, state);
    }
    QString iconName() override { return Icon().name(); }
    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("kq.deferred"); }
    QIconEngine* clone() const override { return new DeferredIconEngine(made_); }

  private:
    const QIcon& Icon() {
        if (!made_->icon) made_->icon = made_->make();
        return *made_->icon;
    }

    std::shared_ptr<Made> made_;
};

}  // namespace

QIcon DeferredIcon(std::function<QIcon()> make) {
    return QIcon(new DeferredIconEngine(std::make_shared<Made>(Made{std::move(make), {}})));
}

}  // namespace kq
