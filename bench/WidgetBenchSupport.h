#pragma once

// What the benchmarks that drive widgets share: the application started the way main() starts
// it, event timing, and a shown transcript.

#include "Session/SessionModel.h"
#include "UI/Conversation/ConversationTranscript.h"
#include "UI/Shared/AppStartup.h"
#include "UI/Shared/MarkdownText.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <algorithm>
#include <memory>

namespace nbd::bench {

// `App` (QApplication or a subclass) with the app's start-up around its construction: names and
// attributes before it, fonts, palette and translations after. Offscreen unless the environment
// names a platform.
template <typename App = QApplication>
class StartedApplication : public App
{
public:
    StartedApplication(int &argc, char **argv) : App(prepared(argc), argv) { finishApplicationSetup(*this); }

private:
    static int &prepared(int &argc)
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        prepareApplication();
        return argc;
    }
};

// Times the top-level events the GUI thread handles: an event counts with everything sent while
// it is handled. A subclass picks the events and takes the times.
class EventTimingApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth > 0 || !times(receiver, event))
            return QApplication::notify(receiver, event);
        ++m_depth;
        QElapsedTimer t;
        t.start();
        const bool result = QApplication::notify(receiver, event);
        --m_depth;
        timed(double(t.nsecsElapsed()) / 1e6);
        return result;
    }

protected:
    // Asked before the event is handled, which may delete its receiver (and the event).
    virtual bool times(QObject *receiver, QEvent *event) = 0;
    virtual void timed(double ms) = 0;

private:
    int m_depth = 0;
};

// No Markdown text under `root` is being parsed.
inline bool markdownParsed(QWidget *root)
{
    const QList<MarkdownText *> texts = root->findChildren<MarkdownText *>();
    return std::none_of(texts.begin(), texts.end(), [](const MarkdownText *text) { return text->isParsing(); });
}

// A transcript in a shown window of 1000 × 800, empty or showing a session.
struct TranscriptWindow
{
    QWidget window;
    ConversationTranscript *transcript = new ConversationTranscript(nullptr, nullptr, &window);

    TranscriptWindow()
    {
        show();
        QCoreApplication::processEvents();
    }

    explicit TranscriptWindow(std::shared_ptr<SessionModel> model)
    {
        show();
        transcript->setSession(std::move(model));
        QCoreApplication::processEvents();
    }

private:
    void show()
    {
        window.resize(1000, 800);
        transcript->resize(1000, 800);
        window.show();
    }
};

} // namespace nbd::bench
