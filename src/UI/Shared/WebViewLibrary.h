#pragma once

#include <QStringList>

namespace nbd {

// The web views (the workspace browser, the plugin overlay) live in a library of their own that
// is loaded the first time one of them is needed: the web engine and the GL driver it draws
// with cost tens of megabytes and tens of milliseconds that most starts never need.
namespace WebViewLibrary {

// Where the library is looked for, in order: the installed layout relative to the executable
// (which makes an installed copy independent of where it was built), then the build tree.
QStringList candidates();

// The exported function `symbol` of the library, loading it (and preparing the shared GL
// context the web engine draws with) on first use. Null, with a warning that starts with
// `unavailable` and gives the loader's reason, when the library cannot be loaded.
void *resolve(const char *symbol, const char *unavailable);

} // namespace WebViewLibrary
} // namespace nbd
