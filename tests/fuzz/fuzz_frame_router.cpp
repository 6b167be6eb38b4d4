// Event-stream messages, one per line, read as the stream reads them and routed by the store
// with no host behind it. Nothing may crash, the store's lists keep their invariants, and
// each session's fold ends up exactly where folding its own events and projections directly
// would put it.
#include "FuzzSupport.h"

#include "FoldDump.h"
#include "Session/SessionModel.h"
#include "Session/TranscriptFold.h"
#include "Store/AppModel.h"

#include <QSettings>
#include <QTemporaryDir>

#include <map>

using namespace nbd;
using namespace nbd::fuzz;
using namespace Qt::StringLiterals;

namespace {

const QStringList kSessions = {u"s1"_s, u"s2"_s};

QString settingsPath()
{
    static QTemporaryDir dir;
    return dir.filePath(u"settings.ini"_s);
}

std::optional<QString> stringAt(const JSONValue &object, QStringView key)
{
    const JSONValue *v = object.find(key);
    return v && v->isString() ? std::optional<QString>(*v->stringPtr()) : std::nullopt;
}

// What the frame means for a session's fold, read independently of the store.
void applyToReference(const ServerRequest &frame, std::map<QString, FoldState> &reference)
{
    if (frame.type != u"server-request" || !frame.payload.isObject())
        return;
    const std::optional<QString> sessionId = stringAt(frame.payload, u"sessionId");
    if (!sessionId || !reference.contains(*sessionId))
        return;
    FoldState &state = reference[*sessionId];
    if (frame.method == u"session/event") {
        const JSONValue *eventValue = frame.payload.find(u"event");
        if (!eventValue)
            return;
        std::optional<SessionEvent> event;
        try {
            event = SessionEvent::fromLiveValue(*eventValue);
        } catch (const SessionEventValueError &) {
            return;
        }
        std::optional<JSONValue> view;
        if (const JSONValue *v = frame.payload.find(u"view"))
            view = *v;
        if (!state.seenSeqs.contains(event->seq))
            TranscriptFold::fold(*event, view, state);
        NBD_FUZZ_CHECK(state.seenSeqs.contains(event->seq), "a folded event is not marked seen");
    } else if (frame.method == u"session/projection") {
        const std::optional<QString> key = stringAt(frame.payload, u"key");
        if (!key)
            return;
        const JSONValue *value = frame.payload.find(u"value");
        TranscriptFold::applyProjection(*key, value ? *value : JSONValue(), state);
    }
}

void checkStore(const AppModel &store, const ServerRequest &frame)
{
    QSet<QString> approvalIds;
    for (const PendingApproval &a : store.interactions()->pendingApprovals()) {
        NBD_FUZZ_CHECK(!approvalIds.contains(a.id), u"approval listed twice: "_s + a.id);
        approvalIds.insert(a.id);
        NBD_FUZZ_CHECK(a.id == a.rpcId, "an approval's id is not its request's id");
    }
    for (const PendingQuestion &q : store.interactions()->pendingQuestions())
        NBD_FUZZ_CHECK(!q.questions.empty(), "a pending question without questions");

    if (frame.type != u"server-request" || !frame.payload.isObject())
        return;
    if (frame.method == u"approval/resolved") {
        const std::optional<QString> sessionId = stringAt(frame.payload, u"sessionId");
        const std::optional<QString> approvalId = stringAt(frame.payload, u"approvalId");
        if (sessionId && approvalId)
            for (const PendingApproval &a : store.interactions()->pendingApprovals())
                NBD_FUZZ_CHECK(a.sessionId != *sessionId || a.approvalId != *approvalId,
                               "a resolved approval is still pending");
    } else if (frame.method == u"question/resolved") {
        if (const std::optional<QString> rpcId = stringAt(frame.payload, u"questionRpcId"))
            for (const PendingQuestion &q : store.interactions()->pendingQuestions())
                NBD_FUZZ_CHECK(q.rpcId != *rpcId, "a resolved question is still pending");
    } else if (frame.method == u"host/agent-error") {
        NBD_FUZZ_CHECK(store.errors()->transientError().has_value(), "an agent error left no message");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ensureCoreApplication();
    const QList<QByteArrayView> lines = [&] {
        QList<QByteArrayView> out;
        const QByteArrayView all = bytes(data, size);
        qsizetype start = 0;
        for (qsizetype i = 0; i <= all.size(); ++i) {
            if (i == all.size() || all[i] == '\n') {
                out << all.sliced(start, i - start);
                start = i + 1;
            }
        }
        return out;
    }();

    {
        AppModel store(std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat), false);
        std::map<QString, FoldState> reference;
        std::vector<std::shared_ptr<SessionModel>> models;
        for (const QString &id : kSessions) {
            models.push_back(store.selection()->registerDetachedSessionModel(id));
            reference[id] = FoldState();
        }

        for (const QByteArrayView line : lines) {
            if (line.isEmpty())
                continue;
            // As the event stream reads a message: a message that is no frame is dropped.
            std::optional<ServerRequest> frame;
            try {
                frame = ServerRequest::fromJson(parseJSON(line));
            } catch (const Error &) {
                continue;
            }
            store.route(*frame);
            applyToReference(*frame, reference);
            // Tasks the frame deferred run now; with no connection they find nothing to do.
            QCoreApplication::processEvents();
            checkStore(store, *frame);
        }

        for (const std::shared_ptr<SessionModel> &model : models) {
            const FoldState &expected = reference[model->sessionId()];
            if (!(model->fold() == expected))
                fail(__FILE__, __LINE__, "model->fold() == expected",
                     u"session "_s + model->sessionId() + u": the store's fold differs from the direct fold\n--- direct:\n"_s
                         + test::dumpState(expected) + u"\n--- store:\n"_s + test::dumpState(model->fold()));
        }
    }
    QCoreApplication::processEvents();
    return 0;
}
