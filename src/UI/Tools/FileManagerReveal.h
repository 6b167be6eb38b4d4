#pragma once

#include <QUrl>

namespace nbd {

// Shows a file or folder selected in the desktop's file manager
// (org.freedesktop.FileManager1.ShowItems); where no file manager answers, opens the folder
// that holds it instead. Asynchronous: never blocks on the bus.
void revealInFileManager(const QUrl &item);

} // namespace nbd
