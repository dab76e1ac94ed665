#pragma once

#include <QString>

#include "devlink/platform.h"
#include "pages/page_context.h"

namespace kq {

// Saves the main window on each page and the language dialog, in English and in Simplified
// Chinese, as PNG files in dir. Leaves Config.ini alone. Returns the exit code.
int TakeScreenshots(PageContext& context, HotplugSource* hotplug, const QString& dir);

}  // namespace kq
