#pragma once

#include <QMainWindow>

#include <functional>

namespace nbd {

class AppModel;
class ContentView;

// The main window: the content view and the menu commands. Each command calls one store action
// or posts one in-app notification that the window's content turns into a layout change.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int kMinimumWidth = 1080;
    static constexpr int kMinimumHeight = 680;

    // quit: the application's ordered shutdown (by default QCoreApplication::quit()).
    MainWindow(AppModel *appModel, std::function<void()> settingsOpener, QWidget *parent = nullptr,
               std::function<void()> quit = {});
    ContentView *content() const { return m_content; }

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

private:
    ContentView *m_content;
    bool m_reactivateWhenRecreated = false;
};

} // namespace nbd
