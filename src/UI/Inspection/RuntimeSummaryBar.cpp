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
    setMaximumWidth(kMaxLineWidth + 2 * kSidePadding);
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
    int width = 0;
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (i > 0)
            width += 2 * kSeparatorPadding + Fonts::textWidth(font(), kSeparator);
        width += Fonts::textWidth(font(), m_segments[i]);
    }
    return {std::min(width, kMaxLineWidth) + 2 * kSidePadding, 24};
}

QSize RuntimeSummaryBar::minimumSizeHint() const
{
    return {2 * kSidePadding, 24};
}

std::vector<RuntimeSummaryBar::Piece> RuntimeSummaryBar::lineLayout() const
{
    std::vector<Piece> pieces;
    const QFontMetrics metrics(font());
    const int available = std::max(0, std::min(width() - 2 * kSidePadding, kMaxLineWidth));
    // The line is centred; what does not fit is cut at its end.
    const int natural = sizeHint().width() - 2 * kSidePadding;
    int x = (width() - std::min(natural, available)) / 2;
    const int right = x + available;
    const int separator = Fonts::textWidth(font(), kSeparator);
    const int ellipsis = Fonts::textWidth(font(), u"…"_s);
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (i == 0 && x >= right)
            break;
        if (i > 0) {
            // A separator with no room for even the ellipsis of its segment after it would
            // end the line on a bare bar: the line ends with an ellipsis instead.
            if (x + 2 * kSeparatorPadding + separator + ellipsis > right) {
                if (x + ellipsis <= right) {
                    pieces.push_back({u"…"_s, x});
                } else if (Piece &last = pieces.back(); last.text == m_segments[i - 1]) {
                    // No room for the ellipsis either: the whole segment before gives up its end.
                    const int room = std::min(right, x) - last.x - 1;
                    last.text = metrics.elidedText(last.text, Qt::ElideRight, std::max(0, room));
                }
                break;
            }
            x += kSeparatorPadding;
            pieces.push_back({kSeparator, x});
            x += separator + kSeparatorPadding;
        }
        pieces.push_back({metrics.elidedText(m_segments[i], Qt::ElideRight, right - x), x});
        x += Fonts::textWidth(font(), m_segments[i]);
    }
    return pieces;
}

void RuntimeSummaryBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font());
    painter.setPen(Theme::tertiaryText());
    for (const Piece &piece : lineLayout())
        painter.drawText(QRect(piece.x, 0, width() - piece.x, height()), Qt::AlignVCenter | Qt::AlignLeft,
                         piece.text);
    if (hasFocus()) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::brand(), 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(kSidePadding - 4.5, 0.5, -kSidePadding + 4.5, -0.5), 4, 4);
    }
}

} // namespace nbd
