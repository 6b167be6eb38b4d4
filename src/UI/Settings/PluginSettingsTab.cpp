#include "UI/Settings/PluginSettingsTab.h"

#include "Domain/BidiIsolate.h"
#include "Domain/ProtocolNames.h"
#include "Store/PluginInventory.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PagedColumn.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QColor pluginToneColor(PluginTone tone)
{
    switch (tone) {
    case PluginTone::Secondary: return Theme::secondaryText();
    case PluginTone::Success: return Theme::success();
    case PluginTone::Warning: return Theme::warning();
    case PluginTone::Red: return Theme::systemRed();
    }
    return Theme::secondaryText();
}

PluginTone hostPluginTone(const PluginInventoryEntry &entry)
{
    if (!entry.enabled || !entry.fiberPhase)
        return PluginTone::Secondary;
    const QString &phase = *entry.fiberPhase;
    if (phase == names::fiberActive)
        return PluginTone::Success;
    if (phase == names::fiberFailed)
        return PluginTone::Red;
    if (phase == names::fiberLoading || phase == names::fiberWaiting || phase == names::fiberUnloading)
        return PluginTone::Warning;
    return PluginTone::Secondary;
}

PluginTone dynamicPluginTone(const DynamicPluginInventoryRow &row)
{
    if (row.latestRun) {
        const QString &status = row.latestRun->status;
        if (status == names::runFailed || status == names::runRejected)
            return PluginTone::Red;
        if (status == names::runAwaitingApproval || status == names::runWaiting)
            return PluginTone::Warning;
    }
    if (row.activeRun)
        return PluginTone::Success;
    return PluginTone::Secondary;
}

namespace {

// A short text on a small inset-coloured shape: a capsule for counts (radius < 0), a rounded
// rectangle for the half badges.
class InsetBadge : public QWidget
{
public:
    InsetBadge(const QString &text, const QFont &font, qreal radius, int padX, int height, QWidget *parent)
        : QWidget(parent), m_text(text), m_radius(radius)
    {
        setFont(font);
        const QFontMetrics fm(font);
        setFixedSize(fm.horizontalAdvance(m_text) + 2 * padX, height);
        setAccessibleName(m_text);
    }

    QString text() const { return m_text; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        const qreal radius = m_radius < 0 ? height() / 2.0 : m_radius;
        path.addRoundedRect(QRectF(rect()), radius, radius);
        painter.fillPath(path, Theme::inset());
        painter.setPen(Theme::secondaryText());
        painter.setFont(font());
        painter.drawText(rect(), Qt::AlignCenter, m_text);
    }

private:
    QString m_text;
    qreal m_radius;
};

// A row's bottom edge: the 1-pixel hairline over it.
class RowBase : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(QRect(0, height() - 1, width(), 1), Theme::hairline());
    }
};

// Plugin rows of a group built at once, and added at each "显示更多".
constexpr qsizetype kRowsPerPage = 30;

QWidget *groupTitle(const QString &title, qsizetype count, const QString &objectName)
{
    auto *row = new QWidget;
    row->setObjectName(objectName);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(7);
    layout->addWidget(new ThemedLabel(title, Fonts::system(12, QFont::DemiBold), &Theme::primaryText, row));
    QFont digits = Fonts::system(10, QFont::Medium);
    digits.setStyleHint(QFont::Monospace);
    auto *badge = new InsetBadge(QString::number(count), digits, -1, 6, 18, row);
    badge->setObjectName(u"settings-plugin-group-count"_s);
    layout->addWidget(badge);
    layout->addStretch(1);
    row->setAccessibleName(title + u" "_s + QString::number(count));
    return row;
}

QWidget *emptyRow(const QString &text, const QString &objectName)
{
    auto *row = new RowBase;
    row->setObjectName(objectName);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 14, 0, 14);
    auto *label = new ThemedLabel(text, Fonts::subheadline(), &Theme::tertiaryText, row);
    label->setObjectName(u"settings-plugin-empty-text"_s);
    layout->addWidget(label, 1);
    return row;
}

QWidget *hostPluginRow(const PluginInventoryEntry &entry)
{
    auto *row = new RowBase;
    row->setObjectName(u"settings-host-plugin-"_s + entry.entryId);
    const PluginTone tone = hostPluginTone(entry);
    row->setProperty("tone", int(tone));
    auto color = [tone] { return pluginToneColor(tone); };
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 9, 0, 9);
    layout->setSpacing(10);
    auto *dot = new ColorDot(7, row);
    dot->setObjectName(u"settings-plugin-dot"_s);
    dot->setFixedSize(16, 16);
    dot->setColor(color);
    layout->addWidget(dot, 0, Qt::AlignVCenter);
    auto *names = new QVBoxLayout;
    names->setSpacing(2);
    auto *shortName =
        new ThemedLabel(text::bidiIsolated(rowText(entry.shortName())), Fonts::system(12, QFont::Medium), &Theme::primaryText, row);
    shortName->setObjectName(u"settings-plugin-title"_s);
    names->addWidget(shortName);
    auto *module = new ClampedLabel(entry.moduleName, monospacedFont(9), &Theme::tertiaryText, 1, row);
    module->setObjectName(u"settings-plugin-module"_s);
    names->addWidget(module);
    layout->addLayout(names, 1);
    layout->addSpacing(8);
    auto *status = new ThemedLabel(entry.statusLabel(), Fonts::system(10, QFont::Medium), color, row);
    status->setObjectName(u"settings-plugin-status"_s);
    layout->addWidget(status, 0, Qt::AlignVCenter);
    row->setAccessibleName(text::bidiIsolated(rowText(entry.shortName())) + u"，"_s + entry.statusLabel());
    return row;
}

// A small "Host" / "Client UI" badge.
QWidget *halfLabel(const QString &text, QWidget *parent)
{
    auto *label = new InsetBadge(text, Fonts::system(9, QFont::Medium), 4, 5, 17, parent);
    label->setObjectName(u"settings-plugin-half"_s);
    return label;
}

// The symbol tile of a dynamic plugin row.
class IconTile : public QWidget
{
public:
    IconTile(const QString &symbol, std::function<QColor()> color, QWidget *parent)
        : QWidget(parent), m_symbol(symbol), m_color(std::move(color))
    {
        setFixedSize(26, 26);
        setProperty("symbolName", symbol);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = m_color();
        fill.setAlphaF(fill.alphaF() * 0.1f);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 6, 6);
        painter.fillPath(path, fill);
        const qreal side = 14;
        Icons::paint(&painter, QRectF((width() - side) / 2, (height() - side) / 2, side, side), m_symbol, m_color());
    }

private:
    QString m_symbol;
    std::function<QColor()> m_color;
};

QWidget *dynamicPluginRow(const DynamicPluginInventoryRow &plugin)
{
    const std::optional<DynamicPluginInventoryPackage> package = plugin.selectedPackage();
    auto *row = new RowBase;
    row->setObjectName(u"settings-dynamic-plugin-"_s + plugin.pluginId);
    const PluginTone tone = dynamicPluginTone(plugin);
    row->setProperty("tone", int(tone));
    auto color = [tone] { return pluginToneColor(tone); };
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 10, 0, 10);
    layout->setSpacing(10);
    const bool client = package && package->hasClientHalf;
    auto *tile = new IconTile(client ? u"macwindow"_s : u"server.rack"_s, color, row);
    tile->setObjectName(u"settings-plugin-icon"_s);
    layout->addWidget(tile, 0, Qt::AlignTop);

    auto *lines = new QVBoxLayout;
    lines->setSpacing(4);
    auto *titleLine = new QHBoxLayout;
    titleLine->setSpacing(7);
    const QString title = package ? package->name : plugin.pluginId;
    auto *titleLabel = new ClampedLabel(text::bidiIsolated(title), Fonts::system(12, QFont::Medium), &Theme::primaryText, 1, row);
    titleLabel->setObjectName(u"settings-plugin-title"_s);
    titleLine->addWidget(titleLabel, 0);
    if (package && package->hasHostHalf)
        titleLine->addWidget(halfLabel(u"Host"_s, row));
    if (package && package->hasClientHalf)
        titleLine->addWidget(halfLabel(u"Client UI"_s, row));
    titleLine->addStretch(1);
    titleLine->addSpacing(8);
    auto *status = new ThemedLabel(plugin.statusLabel(), Fonts::system(10, QFont::Medium), color, row);
    status->setObjectName(u"settings-plugin-status"_s);
    titleLine->addWidget(status);
    lines->addLayout(titleLine);
    if (package && !package->purpose.isEmpty()) {
        auto *purpose = new ClampedLabel(package->purpose, Fonts::subheadline(), &Theme::secondaryText, 2, row);
        purpose->setObjectName(u"settings-plugin-purpose"_s);
        lines->addWidget(purpose);
    }
    QString detail = plugin.pluginId + u" · "_s + QString::number(plugin.packages.size()) + u" 个版本"_s;
    if (plugin.currentPackageId)
        detail += u" · "_s + *plugin.currentPackageId;
    auto *detailLabel = new ClampedLabel(detail, monospacedFont(9), &Theme::tertiaryText, 1, row);
    detailLabel->setObjectName(u"settings-plugin-detail"_s);
    lines->addWidget(detailLabel);
    layout->addLayout(lines, 1);
    row->setAccessibleName(text::bidiIsolated(rowText(title)) + u"，"_s + plugin.statusLabel());
    return row;
}

// The rows of one of the inventory's lists, a page at a time, read from the inventory as they
// are made: the page is rebuilt whenever the inventory changes.
template <class Entry>
PagedColumn *pagedRows(QPointer<PluginInventory> plugins, const std::vector<Entry> &(PluginInventory::*list)() const,
                       QWidget *(*makeRow)(const Entry &))
{
    const qsizetype count = plugins ? qsizetype(((*plugins).*list)().size()) : 0;
    return new PagedColumn(count, kRowsPerPage, [plugins, list, makeRow](qsizetype index, QWidget *owner) -> QWidget * {
        if (!plugins || size_t(index) >= ((*plugins).*list)().size())
            return nullptr;
        QWidget *row = makeRow(((*plugins).*list)()[size_t(index)]);
        row->setParent(owner);
        return row;
    });
}

} // namespace

PluginSettingsTab::PluginSettingsTab(PluginInventory *plugins, QWidget *parent)
    : QWidget(parent)
    , m_plugins(plugins)
    , m_counts(new ThemedLabel({}, Fonts::subheadline(), &Theme::secondaryText))
    , m_spinner(new Spinner(14))
    , m_refresh(new QPushButton(u"刷新"_s))
    , m_rows(new QVBoxLayout)
{
    setObjectName(u"settings-plugins"_s);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    const ScrollingList list = scrollingList(u"Plugin 清单"_s, QMargins(24, 24, 24, 24), 0, this);
    outer->addWidget(list.scroll);
    QWidget *content = list.content;
    QVBoxLayout *layout = list.column;

    auto *header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 18);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(3);
    titles->addWidget(new ThemedLabel(u"Talvor Plugin"_s, Fonts::system(15, QFont::DemiBold), &Theme::primaryText, content));
    m_counts->setParent(content);
    m_counts->setObjectName(u"settings-plugin-counts"_s);
    titles->addWidget(m_counts);
    header->addLayout(titles);
    header->addStretch(1);
    m_spinner->setParent(content);
    m_spinner->setObjectName(u"settings-plugin-loading"_s);
    header->addWidget(m_spinner);
    header->addSpacing(6);
    m_refresh->setParent(content);
    m_refresh->setObjectName(u"settings-plugin-refresh"_s);
    m_refresh->setAutoDefault(false);
    m_refresh->setFont(Fonts::callout());
    m_refresh->setIcon(QIcon(Icons::pixmap(u"arrow.clockwise"_s, 12, Theme::primaryText(), devicePixelRatioF())));
    header->addWidget(m_refresh);
    layout->addLayout(header);
    layout->addLayout(m_rows);
    layout->addStretch(1);
    m_rows->setSpacing(0);

    connect(m_refresh, &QPushButton::clicked, this, [this] {
        if (m_plugins)
            startStoreTask(m_plugins->refreshPluginInventories());
    });
    if (m_plugins) {
        for (auto signal : {&PluginInventory::hostPluginsChanged, &PluginInventory::dynamicPluginsChanged,
                            &PluginInventory::pluginInventoryLoadingChanged,
                            &PluginInventory::hostPluginInventoryAvailableChanged,
                            &PluginInventory::dynamicPluginInventoryAvailableChanged})
            connect(m_plugins, signal, this, &PluginSettingsTab::rebuild);
    }
    rebuild();
    // One reload each time the page is shown. It is not tied to the page: cutting it short
    // would make the store take the interrupted calls for inventories the host lacks.
    if (m_plugins)
        startStoreTask(m_plugins->refreshPluginInventories());
}

void PluginSettingsTab::rebuild()
{
    const std::vector<DynamicPluginInventoryRow> noRows;
    const std::vector<PluginInventoryEntry> noEntries;
    const auto &dynamic = m_plugins ? m_plugins->dynamicPlugins() : noRows;
    const auto &host = m_plugins ? m_plugins->hostPlugins() : noEntries;
    m_counts->setText(QString::number(dynamic.size()) + u" 个动态定义 · "_s + QString::number(host.size())
                      + u" 个 Host Fiber"_s);
    m_spinner->setVisible(m_plugins && m_plugins->pluginInventoryLoading());

    while (QLayoutItem *item = m_rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QWidget *parent = m_rows->parentWidget();
    auto add = [&](QWidget *w) {
        w->setParent(parent);
        m_rows->addWidget(w);
        w->show();
    };

    QWidget *dynamicTitle = groupTitle(u"动态 Plugin"_s, qsizetype(dynamic.size()), u"settings-plugin-group-dynamic"_s);
    dynamicTitle->setContentsMargins(0, 0, 0, 7);
    add(dynamicTitle);
    if (!dynamic.empty()) {
        add(pagedRows(m_plugins, &PluginInventory::dynamicPlugins, &dynamicPluginRow));
    } else {
        const bool missing = m_plugins && m_plugins->dynamicPluginInventoryAvailable() == false;
        add(emptyRow(missing ? u"当前 Host 未提供动态 Plugin 注册表"_s : u"没有动态 Plugin"_s,
                     u"settings-plugin-empty-dynamic"_s));
    }

    QWidget *hostTitle = groupTitle(u"Host Plugin"_s, qsizetype(host.size()), u"settings-plugin-group-host"_s);
    hostTitle->setContentsMargins(0, 24, 0, 7);
    add(hostTitle);
    if (!host.empty()) {
        add(pagedRows(m_plugins, &PluginInventory::hostPlugins, &hostPluginRow));
    } else {
        const bool missing = m_plugins && m_plugins->hostPluginInventoryAvailable() == false;
        add(emptyRow(missing ? u"当前 Host 未提供 Plugin 清单"_s : u"没有 Host Plugin"_s, u"settings-plugin-empty-host"_s));
    }
}

} // namespace nbd
