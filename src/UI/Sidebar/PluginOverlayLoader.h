#pragma once

#include <QUrl>

class QWidget;

namespace nbd {

// Creates the plugin overlay for the host at `baseURL`, loading the web view library the
// first time. Nothing (and a warning with the loader's reason) when it cannot be loaded.
QWidget *createPluginOverlay(const QUrl &baseURL, QWidget *parent);

} // namespace nbd
