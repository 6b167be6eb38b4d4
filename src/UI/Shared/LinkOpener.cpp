#include "UI/Shared/LinkOpener.h"

#include "Base/LogCategories.h"

#include <QDesktopServices>
#include <QDialog>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

using namespace Qt::Literals::StringLiterals;

namespace nbd::LinkOpener {

namespace {

QHash<const QWidget *, Handler> &handlers()
{
    static QHash<const QWidget *, Handler> table;
    return table;
}

// The confirmation before a link of an unfamiliar scheme goes to the desktop: the whole
// address in encoded form (nothing hidden behind look-alike characters), cancel by default.
void confirmThenOpen(QWidget *source, const QUrl &url)
{
    QWidget *window = source ? source->window() : nullptr;
    // One question at a time: a page that keeps asking gets no pile of dialogs.
    if (window && window->findChild<QDialog *>(QString::fromLatin1(kConfirmationName)))
        return;
    auto *dialog = new QDialog(window);
    dialog->setObjectName(QString::fromLatin1(kConfirmationName));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(u"打开链接"_s);
    dialog->setAccessibleName(u"打开链接"_s);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFixedWidth(440);
    auto *layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(12);

    auto *prompt = new QLabel(u"这个链接将交给系统打开，可能会启动其他程序："_s, dialog);
    prompt->setTextFormat(Qt::PlainText);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);

    auto *address = new QPlainTextEdit(dialog);
    address->setObjectName(QString::fromLatin1(kConfirmationURLName));
    address->setAccessibleName(u"链接地址"_s);
    address->setReadOnly(true);
    address->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    address->setWordWrapMode(QTextOption::WrapAnywhere);
    address->setTabChangesFocus(true);
    address->setPlainText(url.toString(QUrl::FullyEncoded));
    address->setFixedHeight(address->fontMetrics().lineSpacing() * 5 + 12);
    layout->addWidget(address);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *cancel = new QPushButton(u"取消"_s, dialog);
    cancel->setObjectName(QString::fromLatin1(kConfirmationCancelName));
    auto *confirm = new QPushButton(u"打开"_s, dialog);
    confirm->setObjectName(QString::fromLatin1(kConfirmationOpenName));
    confirm->setAutoDefault(false);
    cancel->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(confirm);
    layout->addLayout(buttons);

    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    QObject::connect(confirm, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(dialog, &QDialog::accepted, dialog, [url] { QDesktopServices::openUrl(url); });
    dialog->open();
    cancel->setFocus(Qt::OtherFocusReason);
}

void openOnDesktop(QWidget *source, const QUrl &url)
{
    switch (desktopDecision(url)) {
    case DesktopDecision::Refuse:
        // The scheme only: a link's address may carry a token.
        qCInfo(lcUi).noquote() << "refused to open a link of scheme" << url.scheme().left(40);
        return;
    case DesktopDecision::Open:
        QDesktopServices::openUrl(url);
        return;
    case DesktopDecision::Ask:
        confirmThenOpen(source, url);
        return;
    }
}

} // namespace

DesktopDecision desktopDecision(const QUrl &url)
{
    if (!url.isValid() || url.scheme().isEmpty() || url.toString(QUrl::FullyEncoded).size() > kMaxDesktopURLLength)
        return DesktopDecision::Refuse;
    const QString scheme = url.scheme().toLower();
    // Each runs or shows content the link itself carries, in whatever program takes it.
    static const QStringList never = {u"javascript"_s, u"data"_s, u"vbscript"_s, u"blob"_s};
    if (never.contains(scheme))
        return DesktopDecision::Refuse;
    static const QStringList known = {u"http"_s, u"https"_s, u"mailto"_s};
    if (known.contains(scheme))
        return DesktopDecision::Open;
    return DesktopDecision::Ask;
}

void install(QWidget *owner, Handler handler)
{
    if (!owner)
        return;
    const bool known = handlers().contains(owner);
    handlers().insert(owner, std::move(handler));
    if (!known)
        QObject::connect(owner, &QObject::destroyed, [owner] { handlers().remove(owner); });
}

void open(QWidget *source, const QUrl &url)
{
    for (const QWidget *w = source; w; w = w->parentWidget()) {
        const auto it = handlers().constFind(w);
        if (it == handlers().constEnd())
            continue;
        // Copy first: the handler may install or remove handlers.
        const Handler handler = it.value();
        if (handler && handler(url))
            return;
        break;
    }
    openOnDesktop(source, url);
}

} // namespace nbd::LinkOpener
