#include "UI/Shared/AppStartup.h"

#include "UI/Shared/Theme.h"

#include <QApplication>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

void prepareApplication()
{
    QApplication::setOrganizationName(u"Nimbrel"_s);
    QApplication::setApplicationName(u"Nimbrel Deck"_s);
    QApplication::setDesktopFileName(u"dev.nimbrel.Deck"_s);
    // No Qt::AA_ShareOpenGLContexts: it makes QApplication create a global GL context at
    // start-up (about 60 MB resident with a software renderer) for every user, while only a
    // plugin page needs a web view, and the web view runs without it.
}

void finishApplicationSetup(QApplication &app)
{
    app.setFont(Fonts::body());
    // A forced appearance recolours the stock widgets too; otherwise the desktop's palette
    // stays and decides the appearance.
    if (!qgetenv("NBD_APPEARANCE").isEmpty())
        QApplication::setPalette(Theme::palette(Theme::appearance()));
}

} // namespace nbd
