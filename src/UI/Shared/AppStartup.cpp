#include "UI/Shared/AppStartup.h"

#include "UI/Shared/Accessibility.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
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
    app.setFont(Fonts::body());
    // A forced appearance recolours the stock widgets too; otherwise the desktop's palette
    // stays and decides the appearance.
    if (!qgetenv("NBD_APPEARANCE").isEmpty())
        QApplication::setPalette(Theme::palette(Theme::appearance()));
    installQtTranslations(app);
    Accessibility::install();
}

} // namespace nbd
