#pragma once

#include <QString>

#include "devlink/platform.h"
#include "dialogs/context.h"
#include "pages/qt_services.h"

namespace kq {

// Saves the main window on each page and the language dialog, in English and in Simplified
// Chinese, as PNG files in dir. Leaves Config.ini alone. Returns the exit code.
int TakeScreenshots(PageContext& context, QtServices& services, HotplugSource* hotplug,
                    const QString& dir);

}  // namespace kq
