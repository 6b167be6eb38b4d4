#include "UI/Settings/SettingsView.h"

#include "UI/Settings/AboutTab.h"
#include "UI/Settings/ConnectionSettingsTab.h"
#include "UI/Settings/CredentialsTab.h"
#include "UI/Settings/HostSettingsTab.h"
#include "UI/Settings/PluginSettingsTab.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Settings/SkillsTab.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QFocusEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kColumnWidth = 188;

// A surface filled with a theme colour.
class FilledSurface : public QWidget
{
public:
    FilledSurface(std::function<QColor()> color, QWidget *parent) : QWidget(parent), m_color(std::move(color))
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), m_color());
    }

private:
    std::function<QColor()> m_color;
};

} // namespace

// One row of the section column: the section's symbol and title on a rounded fill while it is
// the selection. The whole row, its empty part included, takes the click.
class SettingsSectionRow : public QAbstractButton
{
public:
    SettingsSectionRow(SettingsSection section, QWidget *parent) : QAbstractButton(parent), m_section(section)
    {
        setObjectName(u"settings-section-"_s + settingsSectionRawValue(section));
        setText(settingsSectionTitle(section));
        setAccessibleName(settingsSectionTitle(section));
        setCheckable(true);
        setFixedHeight(34);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setFocusPolicy(Qt::TabFocus);
        setFont(Fonts::body());
    }

    SettingsSection section() const { return m_section; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), 7, 7);
        if (isChecked())
            painter.fillPath(path, Theme::selection());
        if (m_keyboardFocus && hasFocus()) {
            painter.setPen(QPen(Theme::brand(), 1.5));
            painter.drawPath(path);
        }
        const qreal iconSide = 13;
        Icons::paint(&painter, QRectF(10 + (16 - iconSide) / 2, (height() - iconSide) / 2, iconSide, iconSide),
                     settingsSectionIcon(m_section), Theme::primaryText());
        painter.setFont(font());
        painter.setPen(Theme::primaryText());
        const int x = 10 + 16 + 10;
        painter.drawText(QRect(x, 0, std::max(0, width() - x - 10), height()), Qt::AlignVCenter | Qt::AlignLeft,
                         text());
    }

    void focusInEvent(QFocusEvent *event) override
    {
        // The focus ring shows only for focus that came from the keyboard.
        m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
        QAbstractButton::focusInEvent(event);
    }

    void focusOutEvent(QFocusEvent *event) override
    {
        m_keyboardFocus = false;
        QAbstractButton::focusOutEvent(event);
    }

private:
    SettingsSection m_section;
    bool m_keyboardFocus = false;
};

SettingsView::SettingsView(SettingsOwners owners, QWidget *parent)
    : QWidget(parent)
    , m_owners(std::move(owners))
    , m_phaseDot(new ColorDot(7))
    , m_phaseLabel(new ThemedLabel({}, Fonts::subheadline(), &Theme::secondaryText))
    , m_title(new QLabel)
    , m_content(nullptr)
{
    setObjectName(u"settings"_s);
    setFixedSize(kWidth, kHeight);

    auto *root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // ---- The section column ----
    auto *column = new FilledSurface(&Theme::sidebar, this);
    column->setObjectName(u"settings-section-column"_s);
    column->setFixedWidth(kColumnWidth);
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    columnLayout->setSpacing(0);

    auto *head = new QWidget(column);
    head->setFixedHeight(54);
    auto *headLayout = new QHBoxLayout(head);
    headLayout->setContentsMargins(16, 0, 16, 0);
    headLayout->setSpacing(9);
    auto *appIcon = new QLabel(head);
    appIcon->setPixmap(Icons::appPixmap(22, devicePixelRatioF()));
    appIcon->setFixedSize(22, 22);
    headLayout->addWidget(appIcon, 0, Qt::AlignVCenter);
    auto *names = new QVBoxLayout;
    names->setSpacing(1);
    names->addStretch(1);
    names->addWidget(new ThemedLabel(u"Nimbrel Deck"_s, Fonts::system(13, QFont::DemiBold), &Theme::primaryText, head));
    names->addWidget(new ThemedLabel(u"设置"_s, Fonts::subheadline(), &Theme::secondaryText, head));
    names->addStretch(1);
    headLayout->addLayout(names, 1);
    columnLayout->addWidget(head);

    // The rows are a tab list to assistive technology: one of them is the selected tab, and
    // whatever checks a row (a click, Space or Return, the accessibility action, setChecked)
    // selects its section. The selection alone says which row is checked: a row unchecked
    // while it is the selection is checked again. (No exclusive button group: it would take
    // every row but the checked one out of the Tab order.)
    auto *tabs = new QWidget(column);
    tabs->setObjectName(u"settings-section-list"_s);
    Accessibility::describe(tabs, QAccessible::PageTabList);
    auto *list = new QVBoxLayout(tabs);
    list->setContentsMargins(8, 8, 8, 0);
    list->setSpacing(2);
    for (SettingsSection section : allSettingsSections) {
        auto *row = new SettingsSectionRow(section, tabs);
        connect(row, &QAbstractButton::toggled, this, [this, section](bool checked) {
            if (checked || section == m_selection)
                setSelection(section);
        });
        m_rows.push_back(row);
        list->addWidget(row);
    }
    columnLayout->addWidget(tabs);
    columnLayout->addStretch(1);

    auto *footer = new QWidget(column);
    footer->setFixedHeight(42);
    auto *footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(16, 0, 16, 0);
    footerLayout->setSpacing(7);
    m_phaseDot->setParent(footer);
    m_phaseDot->setObjectName(u"settings-connection-dot"_s);
    footerLayout->addWidget(m_phaseDot, 0, Qt::AlignVCenter);
    m_phaseLabel->setParent(footer);
    m_phaseLabel->setObjectName(u"settings-connection-label"_s);
    footerLayout->addWidget(m_phaseLabel, 1, Qt::AlignVCenter);
    columnLayout->addWidget(footer);
    root->addWidget(column);

    root->addWidget(new Hairline(Qt::Vertical, &Theme::strongHairline, this));

    // ---- The content column ----
    auto *contentColumn = new FilledSurface(&Theme::canvas, this);
    contentColumn->setObjectName(u"settings-content"_s);
    m_content = new QVBoxLayout(contentColumn);
    m_content->setContentsMargins(0, 0, 0, 0);
    m_content->setSpacing(0);
    auto *header = new QWidget(contentColumn);
    header->setFixedHeight(54);
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(16, 0, 16, 0);
    headerLayout->setSpacing(10);
    m_title->setParent(header);
    m_title->setObjectName(u"settings-title"_s);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setFont(Fonts::system(14, QFont::DemiBold));
    headerLayout->addWidget(m_title, 1);
    auto *close = new ChromeIconButton(u"xmark"_s, u"关闭设置"_s, std::nullopt, [this] { dismiss(); }, header);
    close->setObjectName(u"settings-close-button"_s);
    close->setFocusPolicy(Qt::TabFocus);
    headerLayout->addWidget(close);
    m_content->addWidget(header);
    m_content->addWidget(new Hairline(Qt::Horizontal, &Theme::strongHairline, contentColumn));
    root->addWidget(contentColumn, 1);

    if (m_owners.connectionStatus)
        connect(m_owners.connectionStatus, &ConnectionStatus::phaseChanged, this, &SettingsView::updatePhase);
    updatePhase();

    // The first page.
    m_selection = SettingsSection::Connection;
    syncRows();
    m_title->setText(settingsSectionTitle(m_selection));
    m_page = createPage(m_selection, m_owners, contentColumn);
    m_content->addWidget(m_page, 1);
}

void SettingsView::syncRows()
{
    for (SettingsSectionRow *row : m_rows) {
        const bool selected = row->section() == m_selection;
        row->setChecked(selected);
        Accessibility::describe(row, QAccessible::PageTab, {.selectable = true, .selected = selected});
    }
}

void SettingsView::setSelection(SettingsSection section)
{
    if (section == m_selection) {
        syncRows();
        return;
    }
    m_selection = section;
    syncRows();
    m_title->setText(settingsSectionTitle(section));
    // The page left behind goes with its state; work it started finds it gone and drops its
    // answers.
    QWidget *parent = m_page->parentWidget();
    delete m_page;
    m_page = createPage(section, m_owners, parent);
    m_content->addWidget(m_page, 1);
    m_page->show();
    Q_EMIT selectionChanged();
}

QWidget *SettingsView::createPage(SettingsSection section, const SettingsOwners &owners, QWidget *parent)
{
    QWidget *page = nullptr;
    switch (section) {
    case SettingsSection::Connection: page = new ConnectionSettingsTab(owners, parent); break;
    case SettingsSection::Host:
        page = new HostSettingsTab(owners.hostSettings, parent);
        break;
    case SettingsSection::Plugins:
        page = new PluginSettingsTab(owners.plugins, parent);
        break;
    case SettingsSection::Credentials:
        page = new CredentialsTab(owners.hostSettings, parent);
        break;
    case SettingsSection::Skills:
        page = new SkillsTab(owners.hostSettings, owners.selection, parent);
        break;
    case SettingsSection::About: page = new AboutTab(parent); break;
    }
    return page;
}

void SettingsView::updatePhase()
{
    const ConnectionPhase phase =
        m_owners.connectionStatus ? m_owners.connectionStatus->phase() : ConnectionPhase::disconnected();
    const bool connected = phase.isConnected();
    m_phaseDot->setColor(connected ? std::function<QColor()>(&Theme::success) : std::function<QColor()>(&Theme::secondaryText));
    m_phaseLabel->setText(phase.label());
}

void SettingsView::dismiss()
{
    window()->close();
}

} // namespace nbd
