#include "UI/Inspection/RuntimeSummaryBar.h"

#include "Session/SessionModel.h"
#include "UI/Inspection/InspectorMetrics.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Theme.h"

#include <QFontMetrics>
#include <QPainter>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const QString kSeparator = u"|"_s;
constexpr int kSeparatorPadding = 10;

} // namespace

RuntimeSummaryBar::RuntimeSummaryBar(std::shared_ptr<SessionModel> session, std::function<void()> action,
                                     QWidget *parent)
    : QAbstractButton(parent)
    , m_session(std::move(session))
    , m_action(std::move(action))
{
    setFont(Fonts::system(12));
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setFixedHeight(24);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_action)
            m_action();
    });
    if (m_session) {
        connect(m_session.get(), &SessionModel::statsChanged, this, &RuntimeSummaryBar::refresh);
        connect(m_session.get(), &SessionModel::usageChanged, this, &RuntimeSummaryBar::refresh);
    }
    refresh();
}

void RuntimeSummaryBar::refresh()
{
    m_segments = m_session ? RunSummary::summarySegments(m_session->stats(), m_session->usage())
                           : std::vector<QString>{};
    const QString joined = RunSummary::toolTip(m_segments);
    setText(joined);
    setAccessibleName(joined.isEmpty() ? u"运行概况"_s : joined);
    setToolTip(shownAsPlainText(joined));
    updateGeometry();
    update();
}

QSize RuntimeSummaryBar::sizeHint() const
{
    const QFontMetrics metrics(font());
    int width = 0;
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (i > 0)
            width += 2 * kSeparatorPadding + metrics.horizontalAdvance(kSeparator);
        width += metrics.horizontalAdvance(m_segments[i]);
    }
    return {std::min(width, kMaxLineWidth) + 2 * kSidePadding, 24};
}

QSize RuntimeSummaryBar::minimumSizeHint() const
{
    return {2 * kSidePadding, 24};
}

void RuntimeSummaryBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const int available = std::max(0, std::min(width() - 2 * kSidePadding, kMaxLineWidth));
    // The line is centred; what does not fit is cut at its end.
    int natural = sizeHint().width() - 2 * kSidePadding;
    int x = (width() - std::min(natural, available)) / 2;
    const int right = x + available;
    const QColor tertiary = Theme::tertiaryText();
    for (size_t i = 0; i < m_segments.size() && x < right; ++i) {
        if (i > 0) {
            // A separator with no room for even the ellipsis of its segment after it would
            // end the line on a bare bar: the line ends with an ellipsis instead.
            const int ellipsis = metrics.horizontalAdvance(u"…"_s);
            if (x + 2 * kSeparatorPadding + metrics.horizontalAdvance(kSeparator) + ellipsis > right) {
                painter.setPen(tertiary);
                if (x + ellipsis <= right)
                    painter.drawText(QRect(x, 0, ellipsis, height()), Qt::AlignVCenter | Qt::AlignLeft, u"…"_s);
                break;
            }
            x += kSeparatorPadding;
            painter.setPen(tertiary);
            painter.drawText(QRect(x, 0, right - x, height()), Qt::AlignVCenter | Qt::AlignLeft, kSeparator);
            x += metrics.horizontalAdvance(kSeparator) + kSeparatorPadding;
            if (x >= right)
                break;
        }
        const QString text = metrics.elidedText(m_segments[i], Qt::ElideRight, right - x);
        painter.setPen(tertiary);
        painter.drawText(QRect(x, 0, right - x, height()), Qt::AlignVCenter | Qt::AlignLeft, text);
        x += metrics.horizontalAdvance(m_segments[i]);
    }
    if (hasFocus()) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::brand(), 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(kSidePadding - 4.5, 0.5, -kSidePadding + 4.5, -0.5), 4, 4);
    }
}

} // namespace nbd
