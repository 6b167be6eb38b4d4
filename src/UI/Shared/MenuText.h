#pragma once

#include <QString>

namespace nbd {

// A menu item's text shown as given: "&" would otherwise mark a mnemonic and vanish, and a tab
// would start the shortcut column. Host and user text goes through here.
inline QString menuText(QString text)
{
    text.replace(u'&', QStringLiteral("&&"));
    text.replace(u'\t', u' ');
    return text;
}

} // namespace nbd
