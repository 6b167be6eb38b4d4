#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QUrl>
#include <QVariantMap>
#include <QWidget>

class QWebChannel;
class QWebEngineProfile;
class QWebEngineView;

namespace nbd {

class OverlayPage;

// Receives the page script's reports under the name "nbdOverlayRects".
class OverlayRectsBridge : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    Q_INVOKABLE void postMessage(const QVariantMap &body);

Q_SIGNALS:
    void reported(const QVariantMap &body);
};

// The web page of a running host plugin, laid transparently over the whole window. The page
// is isolated by a user script down to its overlay element, whose visible children the script
// reports; the overlay takes mouse events only inside those rectangles (grown by a small
// margin) and lets every other click through to the window underneath. It shows nothing and
// takes no clicks until the page reports ready.
class PluginOverlayHost : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool overlayShown READ isOverlayShown)
public:
    static constexpr qreal kHitMargin = 2;
    static constexpr int kLoadTimeoutMs = 60000;

    explicit PluginOverlayHost(const QUrl &baseURL, QWidget *parent = nullptr);
    ~PluginOverlayHost() override;

    QUrl baseURL() const { return m_baseURL; }

    bool isOverlayShown() const { return m_shown; }
    const QList<QRectF> &interactiveRects() const { return m_rects; }
    // Whether a point in this widget's coordinates falls inside a reported rectangle.
    bool capturesPoint(const QPointF &point) const;
    QWebEngineView *view() const { return m_view; }

    // Applies one script report: {"ready": bool, "rects": [{"x","y","width","height"}, …]}.
    void applyReport(const QVariantMap &body);

    // The persistent profile every overlay shares.
    static QWebEngineProfile *profile();
    // The script injected at document creation into the main frame.
    static QString userScriptSource();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void load();
    void hideOverlay();
    void applyState();

    QUrl m_baseURL;
    QWebEngineView *m_view;
    OverlayPage *m_page;
    QWebChannel *m_channel;
    OverlayRectsBridge *m_bridge;
    QList<QRectF> m_rects;
    bool m_shown = false;
};

} // namespace nbd
