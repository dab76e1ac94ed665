#include "pages/deferred_icon.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QStyle>

namespace kq::test {
namespace {

QIcon Standard() {
    return QApplication::style()->standardIcon(QStyle::SP_DirOpenIcon);
}

TEST(DeferredIconTest, MadeAtTheFirstPictureOnceForAllCopies) {
    int made = 0;
    const QIcon icon = DeferredIcon([&] {
        ++made;
        return Standard();
    });
    QPushButton button;
    button.setIcon(icon);
    (void)button.sizeHint();
    EXPECT_FALSE(button.icon().isNull());
    EXPECT_EQ(made, 0);

    (void)button.grab();  // drawn
    EXPECT_EQ(made, 1);
    const QIcon copy = icon;
    (void)copy.pixmap(32);
    (void)icon.availableSizes();
    EXPECT_EQ(made, 1);
}

TEST(DeferredIconTest, LooksAndSizesAsTheIconItStandsFor) {
    const QIcon real = Standard();
    const QIcon deferred = DeferredIcon(Standard);
    struct Case {
        QSize size;
        qreal ratio;
        QIcon::Mode mode;
    };
    for (const Case& c :
         {Case{{16, 16}, 1.0, QIcon::Normal}, Case{{16, 16}, 2.0, QIcon::Normal},
          Case{{32, 32}, 1.0, QIcon::Disabled}, Case{{20, 20}, 1.5, QIcon::Active}}) {
        SCOPED_TRACE(::testing::Message() << c.size.width() << " at " << c.ratio);
        const QPixmap want = real.pixmap(c.size, c.ratio, c.mode);
        const QPixmap got = deferred.pixmap(c.size, c.ratio, c.mode);
        EXPECT_EQ(got.devicePixelRatio(), want.devicePixelRatio());
        EXPECT_EQ(got.toImage(), want.toImage());
        EXPECT_EQ(deferred.actualSize(c.size, c.mode), real.actualSize(c.size, c.mode));
    }

    // A button with either: the same size for the layout, the same picture on the screen.
    QPushButton withReal, withDeferred;
    withReal.setIcon(real);
    withDeferred.setIcon(DeferredIcon(Standard));
    EXPECT_EQ(withDeferred.sizeHint(), withReal.sizeHint());
    withReal.resize(withReal.sizeHint());
    withDeferred.resize(withReal.sizeHint());
    EXPECT_EQ(withDeferred.grab().toImage(), withReal.grab().toImage());
}

}  // namespace
}  // namespace kq::test
