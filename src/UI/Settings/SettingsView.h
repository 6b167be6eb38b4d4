#pragma once

#include "UI/Settings/SettingsSection.h"
#include "UI/Shared/SettingsOwners.h"

#include <QPointer>
#include <QWidget>

#include <vector>

class QLabel;
class QVBoxLayout;

namespace nbd {

class ColorDot;
class SettingsSectionRow;
class ThemedLabel;

// The Settings window's content: a fixed 920 × 640 view with the column of sections on the
// left and the selected section's page on the right. It keeps nothing but the selection; each
// page reads and changes the store itself and is built anew every time its section is
// selected, so a page's unsaved state ends with it. The close button closes the window the
// view sits in (the Settings window, or the sheet over the main window).
class SettingsView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kWidth = 920;
    static constexpr int kHeight = 640;

    explicit SettingsView(SettingsOwners owners, QWidget *parent = nullptr);

    SettingsSection selection() const { return m_selection; }
    // What checking a section row does: a new page for the section replaces the old one.
    // Pressing the row of the selected section changes nothing.
    void setSelection(SettingsSection section);
    QWidget *page() const { return m_page; }

    // The page for a section, with its initial state.
    static QWidget *createPage(SettingsSection section, const SettingsOwners &owners, QWidget *parent);

Q_SIGNALS:
    void selectionChanged();

private:
    void syncRows();
    void updatePhase();
    void dismiss();

    SettingsOwners m_owners;
    SettingsSection m_selection = SettingsSection::Connection;
    std::vector<SettingsSectionRow *> m_rows;
    ColorDot *m_phaseDot;
    ThemedLabel *m_phaseLabel;
    QLabel *m_title;
    QVBoxLayout *m_content;
    QWidget *m_page = nullptr;
};

} // namespace nbd
