#pragma once

class QApplication;

namespace nbd {

// The application's start-up, in one place so that main() and every GUI test start the same
// way: prepareApplication() runs before the QApplication exists (names, attributes),
// finishApplicationSetup() right after (fonts, palette, translations).
void prepareApplication();
void finishApplicationSetup(QApplication &app);

} // namespace nbd
