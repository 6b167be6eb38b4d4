#pragma once

#include "UI/QuickAsk/QuickAskHUDView.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <optional>
#include <vector>

namespace nbd {

class QuickAskHUDModel;

struct QuickAskScreenFrame
{
    QRect frame;
    QRect availableFrame; // without panels and docks
};

// Where the panel goes: on the first screen whose frame holds the pointer (else the primary
// screen), horizontally centred in its available area, its top edge 96 pixels below that
// area's top. Nothing when there is no screen at all (the caller centres the panel).
std::optional<QPoint> quickAskPanelOrigin(QPoint pointer, const std::vector<QuickAskScreenFrame> &screens,
                                          std::optional<QuickAskScreenFrame> primary, QSize panelSize);

// The floating Quick Ask window: frameless, above other windows, takes the keyboard focus
// when shown, never closed (only hidden).
class QuickAskPanel : public QWidget
{
    Q_OBJECT
public:
    // The view's own: the panel hands them on.
    using Actions = QuickAskHUDView::Actions;

    QuickAskPanel(QuickAskHUDModel *model, Actions actions, QWidget *parent = nullptr);

    QuickAskHUDView *view() const { return m_view; }
    // Places the panel under the pointer and shows it with the keyboard focus.
    void present();
    void dismiss();
    bool isShown() const { return isVisible(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QuickAskHUDView *m_view;
    std::function<void()> m_onDismiss;
};

} // namespace nbd
