#pragma once

#include <gtest/gtest.h>

#include <QWidget>
#include <map>
#include <string>

namespace kq::test {

// Every control of a form that carries a resourceId carries the one res/resource.h names for
// it, and every id named there for the form is carried by its control.
inline void ExpectResourceIds(const QWidget& root, const std::map<std::string, int>& expected) {
    std::map<std::string, int> carried;
    for (const QWidget* w : root.findChildren<QWidget*>()) {
        const QVariant id = w->property("resourceId");
        if (id.isValid()) carried[w->objectName().toStdString()] = id.toInt();
    }
    EXPECT_EQ(carried, expected);
}

}  // namespace kq::test
