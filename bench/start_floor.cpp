// The floor of the start-up benchmark: the smallest Qt Widgets program that shows one window,
// reporting its first expose the way the application does under NBD_STARTUP_REPORT.
#include "App/ExposeReporter.h"

#include <QApplication>
#include <QLabel>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // Text in the interface's language, so that the floor loads the same fonts.
    QLabel window(QStringLiteral("Nimbrel Deck 会话"));
    window.resize(1100, 720);
    window.winId();
    window.windowHandle()->installEventFilter(new nbd::ExposeReporter(&app));
    window.show();
    return app.exec();
}
