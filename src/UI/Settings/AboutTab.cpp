#include "UI/Settings/AboutTab.h"

#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

AboutTab::AboutTab(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(u"settings-about"_s);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(10);
    layout->addStretch(1);
    auto *symbol = new IconView(u"sparkles"_s, 34, this);
    symbol->setObjectName(u"settings-about-symbol"_s);
    symbol->setTint(Theme::brand());
    symbol->setFixedSize(40, 40);
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    auto *name = new ThemedLabel(u"NBD Client"_s, Fonts::system(15, QFont::DemiBold), &Theme::primaryText, this);
    layout->addWidget(name, 0, Qt::AlignHCenter);
    auto *kind = new ThemedLabel(u"Nimbrel Deck 的原生 Linux 客户端"_s, Fonts::caption(), &Theme::secondaryText, this);
    layout->addWidget(kind, 0, Qt::AlignHCenter);
    auto *references = new ThemedLabel(u"协议参考:docs/nbd-protocol.md · 源码对照:reference/nimbrel-deck"_s,
                                       Fonts::caption(), &Theme::tertiaryText, this);
    layout->addWidget(references, 0, Qt::AlignHCenter);
    layout->addStretch(1);
}

} // namespace nbd
