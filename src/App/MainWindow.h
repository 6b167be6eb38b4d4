#pragma once

#include <QMainWindow>

#include <functional>

class QScreen;

namespace nbd {

class AppModel;
class ContentView;

// The main window: the content view and the menu commands. Each command calls one store action
// or posts one in-app notification that the window's content turns into a layout change.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // The sizes the window asks for where the screen has room for them; on a smaller screen it
    // takes what the screen leaves (see placeOnScreen()).
    static constexpr int kPreferredWidth = 1280;
    static constexpr int kPreferredHeight = 820;
    static constexpr int kMinimumWidth = 1080;
    static constexpr int kMinimumHeight = 680;

    // quit: the application's ordered shutdown (by default QCoreApplication::quit()).
    MainWindow(AppModel *appModel, std::function<void()> settingsOpener, QWidget *parent = nullptr,
               std::function<void()> quit = {});
    ContentView *content() const { return m_content; }
    // Before the first show: opens on the screen under the pointer (else the primary one),
    // centred in what the screen leaves free of panels, at the preferred size and with the
    // minimum where they fit, shrunk to that room where they do not, frame included. The
    // minimum follows the window to another screen.
    void placeOnScreen();

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

private:
    void fitMinimumTo(const QScreen *screen);

    ContentView *m_content;
    bool m_reactivateWhenRecreated = false;
};

} // namespace nbd
