#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace nbd::test {

// Stands in for the desktop's URL handlers: register it with QDesktopServices::setUrlHandler
// for a scheme, and what the application hands to the desktop for that scheme is recorded.
// (A test lists this header among its sources, so that it is run through moc.)
class DesktopLinkRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened.append(url); }
};

} // namespace nbd::test
