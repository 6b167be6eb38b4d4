#include "UI/Shared/AppStartup.h"

#include "UI/Shared/Accessibility.h"
#include "UI/Shared/LazyIcon.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QProxyStyle>
#include <QTranslator>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Qt's own texts (file and message dialogs, standard buttons) in the system's language; where
// Qt has no translation for it, in Simplified Chinese like the rest of the interface.
void installQtTranslations(QApplication &app)
{
    const QString directory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale::system(), u"qtbase"_s, u"_"_s, directory)
        || translator->load(QLocale(QLocale::Chinese, QLocale::China), u"qtbase"_s, u"_"_s, directory)) {
        QCoreApplication::installTranslator(translator);
        return;
    }
    delete translator;
}

// Qt's stock icons (the menu bar's overflow arrow, the line edit's clear button, the dialogs'
// icons) are image files, and reading the first of them loads every image-format plugin with
// its libraries. The main window's menu bar asks for its overflow arrow when it is built; the
// icons are read when first drawn instead. The style is otherwise the desktop's own.
class LazyStandardIconStyle : public QProxyStyle
{
public:
    QIcon standardIcon(StandardPixmap icon, const QStyleOption *option, const QWidget *widget) const override
    {
        // An option describes its caller's state at this moment: such an icon is made now.
        if (option)
            return QProxyStyle::standardIcon(icon, option, widget);
        QPointer<const QProxyStyle> self = this;
        QPointer<const QWidget> target = widget;
        return lazyIcon([self, target, icon]() -> QIcon {
            const QStyle *style = self ? self->baseStyle() : QApplication::style();
            return style->standardIcon(icon, nullptr, target);
        });
    }
};

} // namespace

void prepareApplication()
{
    QApplication::setOrganizationName(u"Nimbrel"_s);
    QApplication::setApplicationName(u"Nimbrel Deck"_s);
    QApplication::setDesktopFileName(u"dev.nimbrel.Deck"_s);
    // No GL here: the web views prepare the shared GL context they need when the first of
    // them loads (WebViewLibrary), so a start that shows none never loads a GL driver.
}

void finishApplicationSetup(QApplication &app)
{
    QApplication::setStyle(new LazyStandardIconStyle);
    app.setFont(Fonts::body());
    // A forced appearance recolours the stock widgets too; otherwise the desktop's palette
    // stays and decides the appearance.
    if (!qgetenv("NBD_APPEARANCE").isEmpty())
        QApplication::setPalette(Theme::palette(Theme::appearance()));
    installQtTranslations(app);
    Accessibility::install();
}

} // namespace nbd
