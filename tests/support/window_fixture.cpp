#include "tests/support/window_fixture.h"

#include <QApplication>
#include <QThread>

namespace kq::test {

bool WaitForWorker(LinkWorker& worker, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // A round of events first: a notice queued for the window may be about to post a request.
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!worker.busy()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QThread::msleep(1);
    }
}

bool SpinUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

QStringList WindowTest::MessageTexts() const {
    QStringList texts;
    for (const auto& m : messages_.shown) texts << m.text;
    return texts;
}

}  // namespace kq::test

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
