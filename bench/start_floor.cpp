// The floor of the start-up benchmark: the smallest Qt Widgets program that shows one window,
// reporting its first expose the way the application does under NBD_STARTUP_REPORT.
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QWindow>

#include <cstdio>

namespace {

class ExposeReporter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *window = static_cast<QWindow *>(watched);
        if (event->type() == QEvent::Expose && window->isExposed()) {
            std::printf("window_exposed_epoch_ms: %lld\n", static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
            std::fflush(stdout);
            window->removeEventFilter(this);
        }
        return false;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    // Text in the interface's language, so that the floor loads the same fonts.
    QLabel window(QStringLiteral("Nimbrel Deck 会话"));
    window.resize(1100, 720);
    window.winId();
    window.windowHandle()->installEventFilter(new ExposeReporter(&app));
    window.show();
    return app.exec();
}
