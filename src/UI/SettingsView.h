#pragma once

#include <QWidget>

namespace nbd {

class AppModel;

// The content of the Settings window. Placeholder until Settings is built.
class SettingsView : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsView(AppModel *appModel, QWidget *parent = nullptr);

private:
    AppModel *m_appModel;
};

// The transparent web page of a running host plugin laid over the main window. Placeholder
// until plugins are built: it takes no clicks and marks its presence in a corner.
class PluginOverlayHost : public QWidget
{
    Q_OBJECT
public:
    explicit PluginOverlayHost(const QUrl &baseURL, QWidget *parent = nullptr);
    QUrl baseURL() const { return m_baseURL; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QUrl m_baseURL;
};

} // namespace nbd
