#pragma once

#include <QIcon>

#include <functional>

namespace nbd {

// An icon that is made the first time something asks for it: its pixmaps, sizes, name or
// whether it is null. Looking an icon up in the desktop's theme or reading it from a file
// costs a directory walk or image plugins; a menu that is never opened pays nothing for its
// icons. Copies share the one icon that is made.
QIcon lazyIcon(std::function<QIcon()> make);

} // namespace nbd
