#include "UI/Conversation/ErrorNotice.h"

#include "Store/StoreErrors.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/SoftShadow.h"
#include "UI/Shared/Theme.h"

#include <QLabel>
#include <QPainter>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {
constexpr int kShadow = 12; // room around the banner for its shadow
constexpr int kPadX = 12;
constexpr int kIcon = 14;
constexpr int kSpacing = 9;
constexpr int kMinHeight = 36;
} // namespace

ErrorNotice::ErrorNotice(StoreErrors *errors, QWidget *parent)
    : QWidget(parent)
    , m_errors(errors)
    , m_label(TextLabels::make(QString(), Fonts::system(12, QFont::Medium), Theme::primaryText(), TextLabels::Wrap, this))
    , m_dismiss(new SymbolButton(u"xmark"_s, u"关闭"_s, QSize(20, 20), 9, this))
{
    setObjectName(u"error-notice"_s);
    m_label->setObjectName(u"error-notice-message"_s);
    m_dismiss->setObjectName(u"error-notice-dismiss"_s);
    connect(m_dismiss, &QAbstractButton::clicked, this, [this] {
        if (m_errors)
            m_errors->dismissTransientError();
    });
}

QString ErrorNotice::message() const { return m_label->text(); }

void ErrorNotice::setMessage(const QString &message)
{
    m_label->setText(message);
    setAccessibleName(message);
    updateGeometry();
    resize(sizeHint());
}

QSize ErrorNotice::sizeHint() const
{
    const QFontMetrics fm = m_label->fontMetrics();
    int textWidth = 0;
    for (QStringView line : QStringView(m_label->text()).split(u'\n'))
        textWidth = std::max(textWidth, fm.horizontalAdvance(line.toString()) + 2);
    const int chrome = 2 * kPadX + kIcon + kSpacing + kSpacing + m_dismiss->width();
    const int bannerWidth = std::min(textWidth + chrome, kMaxWidth);
    const int labelWidth = bannerWidth - chrome;
    const int twoLines = 2 * fm.lineSpacing();
    const int textHeight = std::min(m_label->heightForWidth(labelWidth), twoLines);
    const int bannerHeight = std::max(kMinHeight, textHeight + 16);
    return {bannerWidth + 2 * kShadow, bannerHeight + 2 * kShadow};
}

void ErrorNotice::resizeEvent(QResizeEvent *)
{
    const QRect banner = rect().adjusted(kShadow, kShadow, -kShadow, -kShadow);
    const int chrome = 2 * kPadX + kIcon + kSpacing + kSpacing + m_dismiss->width();
    const int labelWidth = std::max(1, banner.width() - chrome);
    const int twoLines = 2 * m_label->fontMetrics().lineSpacing();
    const int textHeight = std::min(m_label->heightForWidth(labelWidth), twoLines);
    const int x = banner.left() + kPadX + kIcon + kSpacing;
    // Cut after the second line: the label is only as tall as two lines.
    m_label->setGeometry(x, banner.center().y() - textHeight / 2 + 1, labelWidth, textHeight);
    m_dismiss->move(banner.right() - kPadX - m_dismiss->width() + 1, banner.center().y() - m_dismiss->height() / 2 + 1);
}

void ErrorNotice::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF banner = QRectF(rect()).adjusted(kShadow, kShadow, -kShadow, -kShadow);
    // A soft shadow 4 below, spread over about 10.
    paintSoftShadow(painter, banner,
                    {.color = Theme::softShadow(), .opacity = 0.28, .first = 0, .last = 5, .span = 6, .offsetY = 4,
                     .grow = {1.5, 1.5, 1.5, 1.5}, .radius = 8, .radiusGrowth = 1.5});
    painter.setBrush(Theme::raised());
    painter.setPen(QPen(Theme::hairline(), 1));
    painter.drawRoundedRect(banner.adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    const QRectF icon(banner.left() + kPadX, banner.center().y() - kIcon / 2.0, kIcon, kIcon);
    Icons::paint(&painter, icon, u"exclamationmark.circle.fill"_s, Theme::systemRed());
}

} // namespace nbd
