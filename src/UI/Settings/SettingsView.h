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

} // namespace nbd
