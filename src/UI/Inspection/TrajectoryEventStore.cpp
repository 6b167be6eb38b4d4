#include "UI/Inspection/TrajectoryEventStore.h"

#include "UI/Inspection/TrajectoryLedger.h"

#include "Domain/Graphemes.h"

#include <charconv>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Writes an id into a caller's stack buffer, so making or comparing one allocates nothing
// until the caller turns the result into a QString. 128 units hold the longest id (110):
// three numbers of at most 20 characters, the fixed words and a suffix of at most 32.
struct IdWriter
{
    char16_t *buffer;
    qsizetype n = 0;

    void put(QStringView text) noexcept
    {
        for (QChar c : text)
            buffer[n++] = c.unicode();
    }
    void number(qint64 value) noexcept
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        for (const char *d = digits; d < end; ++d)
            buffer[n++] = char16_t(*d);
    }
    // "turn-T-step-S-block-I"
    void block(qint64 turn, qint64 step, qint64 index) noexcept
    {
        put(u"turn-");
        number(turn);
        put(u"-step-");
        number(step);
        put(u"-block-");
        number(index);
    }
};

// "turn-T-step-S-block-I" followed by `suffix`, made in one allocation: a long run has tens
// of thousands of these.
QString blockIdWith(qint64 turn, qint64 step, qint64 index, QStringView suffix)
{
    char16_t buffer[128];
    IdWriter w{buffer};
    w.block(turn, step, index);
    w.put(suffix.left(32));
    return QString(reinterpret_cast<const QChar *>(buffer), w.n);
}

// The texts every store starts with, in the order of TrajectoryEventStore::Fixed. They are
// literals: copying them touches no reference count.
std::shared_ptr<std::vector<QString>> newTextTable()
{
    auto texts = std::make_shared<std::vector<QString>>();
    *texts = {QString(),    u"USER"_s,   u"ASSISTANT"_s, u"TOOL"_s, u"SYSTEM"_s,
              u"用户消息"_s, u"回复"_s,    u"思考过程"_s,  u"tool"_s, u"进行中"_s};
    Q_ASSERT(texts->size() == TrajectoryEventStore::kFixedCount);
    return texts;
}

// Equal texts, decided without reading them when both are one copy.
bool sameText(const QString &a, const QString &b)
{
    return a.size() == b.size() && (a.constData() == b.constData() || a == b);
}

} // namespace

TrajectoryEventStore::TrajectoryEventStore(std::shared_ptr<std::vector<QString>> texts)
    : m_texts(texts ? std::move(texts) : newTextTable())
{
}

std::shared_ptr<std::vector<QString>> TrajectoryEventStore::sharedTexts() const
{
    return m_texts;
}

qsizetype TrajectoryEventStore::add(const TrajectoryEventSelection &event)
{
    Record r;
    r.id = addText(event.id);
    r.role = addText(event.role);
    r.title = addText(event.title);
    r.summary = addText(event.summary);
    r.payload = addText(event.payload);
    r.result = addText(event.result);
    r.hasTurn = event.turn.has_value();
    r.turn = event.turn.value_or(0);
    r.hasStep = event.step.has_value();
    r.step = event.step.value_or(0);
    r.isError = event.isError;
    return add(r);
}

const QString &TrajectoryEventStore::text(TextSlot slot) const
{
    return (*m_texts)[slot];
}

qsizetype TrajectoryEventStore::formatId(const Record &record, char16_t *buffer) const
{
    IdWriter w{buffer};
    if (record.idForm == IdForm::User) {
        w.put(u"user-");
        w.number(record.idNumber);
        return w.n;
    }
    w.block(record.hasTurn ? record.turn : 0, record.hasStep ? record.step : 0, record.idNumber);
    if (record.idForm == IdForm::Request)
        w.put(u"-request");
    else if (record.idForm == IdForm::Result)
        w.put(u"-result");
    return w.n;
}

QStringView TrajectoryEventStore::idView(const Record &record, char16_t *buffer) const
{
    if (record.idForm == IdForm::Given)
        return text(record.id);
    return QStringView(buffer, formatId(record, buffer));
}

bool TrajectoryEventStore::idEquals(qsizetype index, QStringView id) const
{
    if (index < 0 || index >= size())
        return id.isEmpty();
    char16_t buffer[128];
    return idView(m_records[size_t(index)], buffer) == id;
}

bool TrajectoryEventStore::sameId(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const
{
    if (index < 0 || index >= size() || otherIndex < 0 || otherIndex >= other.size())
        return false;
    const Record &a = m_records[size_t(index)];
    const Record &b = other.m_records[size_t(otherIndex)];
    if (a.idForm != IdForm::Given && b.idForm != IdForm::Given) {
        if (a.idForm != b.idForm || a.idNumber != b.idNumber)
            return false;
        if (a.idForm == IdForm::User)
            return true;
        return (a.hasTurn ? a.turn : 0) == (b.hasTurn ? b.turn : 0) && (a.hasStep ? a.step : 0) == (b.hasStep ? b.step : 0);
    }
    char16_t bufferA[128];
    char16_t bufferB[128];
    return idView(a, bufferA) == other.idView(b, bufferB);
}

QString TrajectoryEventStore::summaryOf(const Record &record) const
{
    static const QString kNone;
    const TextSlot from = record.from == Source::Title ? record.title
        : record.from == Source::Result                 ? record.result
                                                        : record.payload;
    const QString &source = from == kNoText ? kNone : text(from);
    using namespace TrajectoryLedger;
    switch (record.how) {
    case Summary::Given:
        return text(record.summary);
    case Summary::Preview:
        return preview(source);
    case Summary::Running:
        return u"运行中 · "_s + preview(source);
    case Summary::Failed:
        return u"失败 · "_s + preview(source);
    case Summary::Done:
        return u"完成 · "_s + preview(source);
    case Summary::Characters:
        return Graphemes::formattedCount(qsizetype(characterCount(source))) + u" 字符"_s;
    }
    return QString();
}

const TrajectoryEventSelection &TrajectoryEventStore::at(qsizetype index) const
{
    static const TrajectoryEventSelection kNone;
    if (index < 0 || index >= size())
        return kNone;
    const auto found = m_made.find(index);
    if (found != m_made.end())
        return found->second;
    const Record &r = m_records[size_t(index)];
    TrajectoryEventSelection event;
    char16_t buffer[128];
    event.id = r.idForm == IdForm::Given ? text(r.id) : idView(r, buffer).toString();
    event.role = text(r.role);
    event.title = text(r.title);
    if (r.hasTurn)
        event.turn = r.turn;
    if (r.hasStep)
        event.step = r.step;
    event.summary = summaryOf(r);
    if (r.payload != kNoText)
        event.payload = text(r.payload);
    if (r.result != kNoText)
        event.result = text(r.result);
    event.isError = r.isError;
    return m_made.emplace(index, std::move(event)).first->second;
}

const QString &TrajectoryEventStore::idAt(qsizetype index) const
{
    return at(index).id;
}

std::optional<qint64> TrajectoryEventStore::turnAt(qsizetype index) const
{
    if (index < 0 || index >= size() || !m_records[size_t(index)].hasTurn)
        return std::nullopt;
    return m_records[size_t(index)].turn;
}

const QString &TrajectoryEventStore::titleAt(qsizetype index) const
{
    static const QString kNone;
    return index >= 0 && index < size() ? text(m_records[size_t(index)].title) : kNone;
}

bool TrajectoryEventStore::isErrorAt(qsizetype index) const
{
    return index >= 0 && index < size() && m_records[size_t(index)].isError;
}

bool TrajectoryEventStore::same(qsizetype index, const TrajectoryEventStore &other, qsizetype otherIndex) const
{
    if (index < 0 || index >= size() || otherIndex < 0 || otherIndex >= other.size())
        return false;
    const Record &a = m_records[size_t(index)];
    const Record &b = other.m_records[size_t(otherIndex)];
    auto sameOptional = [&](TextSlot x, TextSlot y) {
        if ((x == kNoText) != (y == kNoText))
            return false;
        return x == kNoText || sameText(text(x), other.text(y));
    };
    if (a.hasTurn != b.hasTurn || a.hasStep != b.hasStep || (a.hasTurn && a.turn != b.turn)
        || (a.hasStep && a.step != b.step) || a.isError != b.isError || !sameId(index, other, otherIndex)
        || !sameText(text(a.role), other.text(b.role)) || !sameText(text(a.title), other.text(b.title))
        || !sameOptional(a.payload, b.payload) || !sameOptional(a.result, b.result))
        return false;
    if (a.how != Summary::Given && a.how == b.how && a.from == b.from)
        return true;
    return sameText(summaryOf(a), other.summaryOf(b));
}

bool TrajectoryEventStore::same(const TrajectoryEventStore *events, qsizetype index, const TrajectoryEventStore *other,
                                qsizetype otherIndex)
{
    if (events == other && index == otherIndex)
        return true;
    if (!events || !other)
        return at(events, index) == at(other, otherIndex);
    return events->same(index, *other, otherIndex);
}

const TrajectoryEventSelection &TrajectoryEventStore::at(const TrajectoryEventStore *events, qsizetype index)
{
    static const TrajectoryEventSelection kNone;
    return events ? events->at(index) : kNone;
}

const TrajectoryEventSelection &TrajectoryLedgerItem::event() const
{
    return TrajectoryEventStore::at(m_events.get(), m_index);
}

QString TrajectoryLedgerItem::id() const
{
    if (kind == Kind::Turn)
        return u"turn-header-"_s + QString::number(heading.turn);
    return m_events ? m_events->idAt(m_index) : QString();
}

bool TrajectoryLedgerItem::idEquals(QStringView id) const
{
    if (kind == Kind::Turn) {
        constexpr QStringView prefix = u"turn-header-";
        return id.startsWith(prefix) && id.mid(prefix.size()) == QString::number(heading.turn);
    }
    return m_events ? m_events->idEquals(m_index, id) : id.isEmpty();
}

TrajectoryTimelineEntry::TrajectoryTimelineEntry(TrajectoryEventSelection event, qint64 lane)
    : lane(lane)
{
    auto store = std::make_shared<TrajectoryEventStore>();
    store->add(std::move(event));
    m_events = std::move(store);
}

const TrajectoryEventSelection &TrajectoryTimelineEntry::event() const
{
    return TrajectoryEventStore::at(m_events.get(), m_index);
}

const QString &TrajectoryTimelineEntry::id() const
{
    static const QString kNone;
    return m_events ? m_events->idAt(m_index) : kNone;
}

const QString &TrajectoryTimelineEntry::title() const
{
    static const QString kNone;
    return m_events ? m_events->titleAt(m_index) : kNone;
}

QString TrajectoryLedger::blockId(qint64 turn, qint64 step, qint64 index)
{
    return blockIdWith(turn, step, index, {});
}

} // namespace nbd
