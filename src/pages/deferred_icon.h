#pragma once

#include <QIcon>
#include <functional>

namespace kq {

// An icon whose pictures are made by `make` the first time one is drawn or asked for, and then
// kept (copies share them). For a control that is not seen at start: finding a theme icon reads
// the icon themes' index files, which would otherwise hold back the window's first paint. It
// counts as a real icon (not null) from the start, so that layouts size the control for it:
// `make` must give one that exists, as the style's standard icons always do.
QIcon DeferredIcon(std::function<QIcon()> make);

}  // namespace kq
