#pragma once

#include "Domain/Plugins.h"

#include <QColor>
#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace nbd {

class Spinner;
class PluginInventory;
class ThemedLabel;

// The colour a plugin row shows its state in.
enum class PluginTone { Secondary, Success, Warning, Red };
QColor pluginToneColor(PluginTone tone);
// A host plugin: secondary when disabled or without a phase; by its phase word otherwise.
PluginTone hostPluginTone(const PluginInventoryEntry &entry);
// A dynamic plugin: a failed or rejected latest run is red even while a run is active.
PluginTone dynamicPluginTone(const DynamicPluginInventoryRow &row);

// The plugins page: a read-only view of the store's two plugin inventories (the dynamic plugin
// runner's definitions and the host's own plugin fibers), with their counts, one row per
// entry coloured by its state, and a button that reloads both. Showing the page starts one
// reload; leaving it lets that reload finish, so the inventories are never left half-loaded.
class PluginSettingsTab : public QWidget
{
    Q_OBJECT
public:
    explicit PluginSettingsTab(PluginInventory *plugins, QWidget *parent = nullptr);

    Spinner *loadingIndicator() const { return m_spinner; }

private:
    void rebuild();

    QPointer<PluginInventory> m_plugins;
    ThemedLabel *m_counts;
    Spinner *m_spinner;
    QPushButton *m_refresh;
    QVBoxLayout *m_rows;
};

} // namespace nbd
