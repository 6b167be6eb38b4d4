// The question and approval cards, clicked and typed into, against a store connected to the
// simulated host.
#include "AccessibilityWalk.h"
#include "AppModelTestSupport.h"
#include "GuiTestMain.h"
#include "TypeText.h"
#include "UI/Shared/ComposerControls.h"
#include "UI/Composer/QuestionViews.h"
#include "UI/Shared/MarkdownText.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Theme.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QLabel>
#include <QTextDocument>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

JSONValue question(const QString &id, QStringList labels, bool multi = false, std::optional<QString> header = {})
{
    JSONValue::Elements options;
    for (const QString &label : labels)
        options.push_back(JSONValue::object({{u"label"_s, label}, {u"description"_s, label + u" 的说明"_s}}));
    JSONValue q = JSONValue::object({{u"id"_s, id},
                                     {u"question"_s, u"问题 "_s + id + u"？"_s},
                                     {u"options"_s, JSONValue::array(std::move(options))},
                                     {u"multiSelect"_s, multi}});
    if (header)
        q = q.with(u"header"_s, *header);
    return q;
}

} // namespace

class tst_QuestionCards : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::StoreHarness> m_h;
    std::unique_ptr<QWidget> m_window;

    PendingQuestion ask(const QString &rpcId, JSONValue::Elements questions)
    {
        m_h->world.pushQuestionRequested(
            rpcId, JSONValue::object({{u"sessionId"_s, u"s1"_s}, {u"questions"_s, JSONValue::array(std::move(questions))}}));
        [&] {
            QTRY_VERIFY(std::any_of(m_h->store->interactions()->pendingQuestions().begin(),
                                    m_h->store->interactions()->pendingQuestions().end(),
                                    [&](const PendingQuestion &q) { return q.rpcId == rpcId; }));
        }();
        for (const PendingQuestion &q : m_h->store->interactions()->pendingQuestions()) {
            if (q.rpcId == rpcId)
                return q;
        }
        return {};
    }

    template<class Card, class Record>
    Card *show(Record record)
    {
        m_window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_window.get());
        auto *card = new Card(m_h->store->interactions(), std::move(record), m_window.get());
        layout->addWidget(card);
        layout->addStretch(1);
        m_window->resize(760, 640);
        m_window->show();
        [&] { QVERIFY(QTest::qWaitForWindowExposed(m_window.get())); }();
        return card;
    }

    QList<QuestionOptionRow *> rows(QWidget *card) const
    {
        QList<QuestionOptionRow *> visible;
        for (QuestionOptionRow *row : card->findChildren<QuestionOptionRow *>(u"question-option"_s)) {
            if (!row->isHidden())
                visible << row;
        }
        return visible;
    }

    QuestionOptionRow *row(QWidget *card, const QString &display) const
    {
        for (QuestionOptionRow *r : rows(card)) {
            if (r->displayLabel() == display)
                return r;
        }
        return nullptr;
    }

    QString counter(QWidget *card) const { return card->findChild<QLabel *>(u"question-counter"_s)->text(); }
    QAbstractButton *primary(QWidget *card) const { return card->findChild<QAbstractButton *>(u"question-primary"_s); }

    // The value of the last answer the host received.
    JSONValue lastAnswer() const
    {
        const auto answers = m_h->world.answers();
        return answers.isEmpty() ? JSONValue() : answers.last().result;
    }

    QStringList answerSummary() const
    {
        QStringList out;
        const JSONValue *value = lastAnswer().find(u"value");
        const JSONValue *answer = value ? value->find(u"answer") : nullptr;
        const JSONValue *list = answer ? answer->find(u"answers") : nullptr;
        if (!list)
            return out;
        for (const JSONValue &a : list->elements()) {
            QStringList selected;
            for (const JSONValue &s : a.find(u"selected")->elements())
                selected << s.string().value_or(QString());
            const JSONValue *custom = a.find(u"custom");
            out << a.find(u"id")->string().value_or(QString()) + u":"_s + selected.join(u',')
                       + (custom ? u"+"_s + custom->string().value_or(QString()) : QString());
        }
        return out;
    }

    // The card's own state and what the host received since `baseline` answers, as text.
    QString cardState(const QuestionCard *card, qsizetype baseline) const
    {
        const QuestionFlow &flow = card->flow();
        QString out = u"page "_s + QString::number(flow.index());
        for (const PendingQuestion::AskUserQuestion &q : flow.question().questions) {
            const QuestionDraft d = flow.draft(q);
            out += u" | "_s + q.id + u" selected "_s + QStringList(d.selected.begin(), d.selected.end()).join(u',')
                + u" custom "_s + d.custom + (d.skipped ? u" skipped"_s : QString());
        }
        out += u" feedback "_s + flow.feedback().value_or(QString());
        return out + hostAnswers(baseline);
    }

    QString hostAnswers(qsizetype baseline) const
    {
        QString out;
        const auto answers = m_h->world.answers();
        for (qsizetype i = baseline; i < answers.size(); ++i)
            out += u" answer "_s + QString::fromUtf8(answers[i].result.data().value_or(QByteArray()));
        return out;
    }

    // Tab from the card's first control, the names of the controls it reaches in order.
    QStringList tabStops(QWidget *card, QWidget *first, int count)
    {
        first->setFocus(Qt::TabFocusReason);
        QStringList stops{first->objectName()};
        for (int i = 1; i < count; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget *focus = QApplication::focusWidget();
            if (!focus || !card->isAncestorOf(focus))
                break;
            stops << (focus->objectName().isEmpty() ? QString::fromLatin1(focus->metaObject()->className()) : focus->objectName());
        }
        return stops;
    }

private Q_SLOTS:
    void init()
    {
        m_h = std::make_unique<test::StoreHarness>();
        m_h->world.addSession(test::session(u"s1"_s, 2000));
        m_h->connectedAndStreaming();
    }

    void cleanup()
    {
        m_window.reset();
        m_h.reset();
    }

    void oneSingleChoiceQuestion()
    {
        auto *card = show<QuestionCard>(ask(u"r1"_s, {question(u"q1"_s, {u"缓存 (Recommended)"_s, u"不缓存"_s}, false, u"存储"_s)}));
        QCOMPARE(card->findChild<QLabel *>(u"question-header"_s)->text(), u"存储"_s);
        QCOMPARE(card->findChild<QLabel *>(u"question-text"_s)->text(), u"问题 q1？"_s);
        QCOMPARE(counter(card), u"1 / 1"_s);
        QCOMPARE(rows(card).size(), 2);
        QuestionOptionRow *recommended = row(card, u"缓存"_s);
        QVERIFY(recommended && recommended->isRecommended());
        QCOMPARE(recommended->accessibleName(), u"缓存 推荐"_s);
        QCOMPARE(primary(card)->text(), u"提交"_s);
        QVERIFY(!primary(card)->isEnabled());
        test::requireAccessible(m_window.get());

        QTest::mouseClick(recommended, Qt::LeftButton);
        QTRY_VERIFY(row(card, u"缓存"_s)->isChecked());
        QCOMPARE(counter(card), u"1 / 1"_s);
        QVERIFY(primary(card)->isEnabled());
        QTest::mouseClick(primary(card), Qt::LeftButton);
        QTRY_COMPARE(answerSummary(), QStringList{u"q1:缓存 (Recommended)"_s});
        QTRY_VERIFY(m_h->store->interactions()->pendingQuestions().empty());
    }

    // Many options come a page at a time: one from a later page is chosen and sent like any.
    void manyOptionsComeAPageAtATime()
    {
        QStringList labels;
        for (int i = 1; i <= 45; ++i)
            labels << u"选项 %1"_s.arg(i);
        auto *card = show<QuestionCard>(ask(u"r1"_s, {question(u"q1"_s, labels)}));
        QCOMPARE(rows(card).size(), 30);
        auto *more = card->findChild<QAbstractButton *>(u"show-more"_s);
        QVERIFY(more && more->isVisible());
        QCOMPARE(more->text(), u"显示更多（还有 15 项）"_s);
        test::requireAccessible(m_window.get());
        QTest::mouseClick(more, Qt::LeftButton);
        QTRY_COMPARE(rows(card).size(), 45);
        QVERIFY(!more->isVisible());
        QuestionOptionRow *late = row(card, u"选项 40"_s);
        QVERIFY(late);
        QTest::mouseClick(late, Qt::LeftButton);
        QTRY_VERIFY(row(card, u"选项 40"_s) && row(card, u"选项 40"_s)->isChecked());
        QTest::mouseClick(primary(card), Qt::LeftButton);
        QTRY_COMPARE(answerSummary(), QStringList{u"q1:选项 40"_s});
    }

    void threeQuestionsPageAndMoveOn()
    {
        auto *card = show<QuestionCard>(ask(u"r1"_s, {question(u"a"_s, {u"A1"_s, u"A2"_s}), question(u"b"_s, {u"B1"_s}),
                                                      question(u"c"_s, {u"C1"_s})}));
        auto *previous = card->findChild<QAbstractButton *>(u"question-previous"_s);
        auto *next = card->findChild<QAbstractButton *>(u"question-next"_s);
        QCOMPARE(counter(card), u"1 / 3"_s);
        QVERIFY(!previous->isEnabled());
        QVERIFY(next->isEnabled());
        QCOMPARE(primary(card)->text(), u"下一题"_s);
        QTest::mouseClick(row(card, u"A2"_s), Qt::LeftButton);
        QTRY_COMPARE(counter(card), u"2 / 3"_s);
        QVERIFY(previous->isEnabled());
        // Paging never checks answers.
        QTest::mouseClick(next, Qt::LeftButton);
        QCOMPARE(counter(card), u"3 / 3"_s);
        QVERIFY(!next->isEnabled());
        QCOMPARE(primary(card)->text(), u"提交"_s);
        QTest::mouseClick(row(card, u"C1"_s), Qt::LeftButton);
        QTRY_VERIFY(row(card, u"C1"_s)->isChecked());
        QCOMPARE(counter(card), u"3 / 3"_s);
        // Submitting with the second question open shows it with its message.
        QTest::mouseClick(primary(card), Qt::LeftButton);
        QTRY_COMPARE(counter(card), u"2 / 3"_s);
        auto *feedback = card->findChild<QLabel *>(u"question-feedback"_s);
        QVERIFY(feedback->isVisible());
        QCOMPARE(feedback->text(), u"请完成或跳过这道题"_s);
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"question-skip"_s), Qt::LeftButton);
        QCOMPARE(counter(card), u"3 / 3"_s);
        QVERIFY(!feedback->isVisible());
        QTest::mouseClick(primary(card), Qt::LeftButton);
        QTRY_COMPARE(answerSummary(), (QStringList{u"a:A2"_s, u"b:"_s, u"c:C1"_s}));
    }

    void multiChoiceTogglesAndKeepsTheTypedAnswer()
    {
        auto *card = show<QuestionCard>(ask(u"r1"_s, {question(u"m"_s, {u"甲"_s, u"乙"_s}, true)}));
        QLineEdit *custom = card->findChild<QLineEdit *>(u"question-custom"_s);
        QTest::mouseClick(custom, Qt::LeftButton);
        test::typeText(custom, u"  另外 "_s);
        QTest::mouseClick(row(card, u"甲"_s), Qt::LeftButton);
        QTest::mouseClick(row(card, u"乙"_s), Qt::LeftButton);
        QTest::mouseClick(row(card, u"甲"_s), Qt::LeftButton);
        QTRY_VERIFY(!row(card, u"甲"_s)->isChecked());
        QVERIFY(row(card, u"乙"_s)->isChecked());
        QCOMPARE(custom->text(), u"  另外 "_s);
        test::requireAccessible(m_window.get());
        QTest::mouseClick(primary(card), Qt::LeftButton);
        QTRY_COMPARE(answerSummary(), QStringList{u"m:乙+另外"_s});
    }

    void blankTypedTextIsNoAnswer()
    {
        auto *card = show<QuestionCard>(ask(u"r1"_s, {question(u"s"_s, {u"是"_s, u"否"_s}), question(u"t"_s, {u"好"_s})}));
        QLineEdit *custom = card->findChild<QLineEdit *>(u"question-custom"_s);
        QTest::mouseClick(row(card, u"是"_s), Qt::LeftButton);
        QTRY_COMPARE(counter(card), u"2 / 2"_s);
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"question-previous"_s), Qt::LeftButton);
        // Typing on a single-choice question drops the chosen option.
        QTest::mouseClick(custom, Qt::LeftButton);
        test::typeText(custom, u"   "_s);
        QVERIFY(!row(card, u"是"_s)->isChecked());
        QVERIFY(!primary(card)->isEnabled());
        QTest::keyClick(custom, Qt::Key_Return);
        auto *feedback = card->findChild<QLabel *>(u"question-feedback"_s);
        QVERIFY(feedback->isVisible());
        QCOMPARE(feedback->text(), u"请选择一个选项或输入答案"_s);
        QCOMPARE(counter(card), u"1 / 2"_s);
        test::typeText(custom, u"也许"_s);
        QVERIFY(!feedback->isVisible());
        QTest::keyClick(custom, Qt::Key_Return);
        QCOMPARE(counter(card), u"2 / 2"_s);
        // The last page skipped: everything answered or skipped, so it submits.
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"question-skip"_s), Qt::LeftButton);
        QTRY_COMPARE(answerSummary(), (QStringList{u"s:+也许"_s, u"t:"_s}));
    }

    void closeCancelsTheWholeSet()
    {
        auto *card = show<QuestionCard>(ask(u"r1"_s, {question(u"a"_s, {u"A"_s}), question(u"b"_s, {u"B"_s})}));
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"question-cancel"_s), Qt::LeftButton);
        QTRY_VERIFY(m_h->store->interactions()->pendingQuestions().empty());
        const JSONValue result = lastAnswer();
        QCOMPARE(result.find(u"ok")->boolean(), std::optional<bool>(false));
        QCOMPARE(result.find(u"error")->find(u"code")->string(), std::optional<QString>(u"cancelled"_s));
    }

    void anEmptySetAndAnotherRequest()
    {
        // The store lists no empty set; a card can still be given one.
        PendingQuestion empty;
        empty.id = empty.rpcId = u"r0"_s;
        empty.sessionId = u"s1"_s;
        auto *card = show<QuestionCard>(empty);
        QVERIFY(rows(card).isEmpty());
        QVERIFY(primary(card)->isEnabled());
        test::requireAccessible(m_window.get());

        const PendingQuestion three =
            ask(u"r1"_s, {question(u"a"_s, {u"A"_s}), question(u"b"_s, {u"B"_s}), question(u"c"_s, {u"C"_s})});
        card->setQuestion(three);
        QCOMPARE(counter(card), u"1 / 3"_s);
        QTest::mouseClick(row(card, u"A"_s), Qt::LeftButton);
        QTest::mouseClick(row(card, u"B"_s), Qt::LeftButton);
        QTRY_COMPARE(counter(card), u"3 / 3"_s);
        // Another, shorter request starts from its first question with nothing chosen.
        const PendingQuestion one = ask(u"r2"_s, {question(u"a"_s, {u"A"_s})});
        card->setQuestion(one);
        QCOMPARE(counter(card), u"1 / 1"_s);
        QVERIFY(!row(card, u"A"_s)->isChecked());
        card->setQuestion(empty);
        QTest::mouseClick(primary(card), Qt::LeftButton);
        QTRY_COMPARE(m_h->world.answers().size(), 1);
        QCOMPARE(m_h->world.answers().first().rpcId, u"r0"_s);
        QCOMPARE(answerSummary(), QStringList{});
    }

    void approvalCardAnswersOnceOrRejects()
    {
        m_h->world.pushApprovalRequested(u"a1"_s, JSONValue::object({{u"sessionId"_s, u"s1"_s},
                                                                     {u"approvalId"_s, u"ap-1"_s},
                                                                     {u"toolName"_s, u"shell"_s},
                                                                     {u"reason"_s, u"运行 rm -rf build"_s}}));
        m_h->world.pushApprovalRequested(u"a2"_s, JSONValue::object({{u"sessionId"_s, u"s1"_s},
                                                                     {u"approvalId"_s, u"ap-2"_s},
                                                                     {u"toolName"_s, u"write_file"_s}}));
        QTRY_COMPARE(m_h->store->interactions()->pendingApprovals().size(), size_t(2));
        auto *card = show<ApprovalCard>(m_h->store->interactions()->pendingApprovals()[0]);
        QCOMPARE(card->findChild<ElidedLabel *>(u"approval-title"_s)->text(), u"工具「\u2068shell\u2069」请求执行许可"_s);
        QLabel *reason = card->findChild<QLabel *>(u"approval-reason"_s);
        QVERIFY(reason->isVisible());
        QCOMPARE(reason->text(), u"运行 rm -rf build"_s);
        test::requireAccessible(m_window.get());
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"approval-allow"_s), Qt::LeftButton);
        QTRY_COMPARE(m_h->store->interactions()->pendingApprovals().size(), size_t(1));
        QCOMPARE(lastAnswer().find(u"value")->find(u"outcome")->string(), std::optional<QString>(u"allowed-once"_s));
        QCOMPARE(lastAnswer().find(u"value")->find(u"approvalId")->string(), std::optional<QString>(u"ap-1"_s));

        card->setApproval(m_h->store->interactions()->pendingApprovals()[0]);
        QVERIFY(!reason->isVisible());
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"approval-reject"_s), Qt::LeftButton);
        QTRY_VERIFY(m_h->store->interactions()->pendingApprovals().empty());
        QCOMPARE(lastAnswer().find(u"value")->find(u"outcome")->string(), std::optional<QString>(u"rejected"_s));
    }

    // Options of a single question are radio buttons, of a set to tick check boxes. A tick
    // that comes from the accessibility action or from code is recorded as a choice; a radio
    // button cannot be unticked, and ticking another moves the choice.
    void optionsAreRadioButtonsOrCheckBoxes()
    {
        const PendingQuestion single = ask(u"r1"_s, {question(u"q1"_s, {u"甲"_s, u"乙"_s, u"丙 (Recommended)"_s})});
        auto *card = show<QuestionCard>(single);
        QList<QuestionOptionRow *> options = rows(card);
        QCOMPARE(options.size(), 3);
        for (QuestionOptionRow *option : options) {
            QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(option);
            QCOMPARE(iface->role(), QAccessible::RadioButton);
            QVERIFY(iface->state().checkable);
            QVERIFY(!iface->state().checked);
        }
        QCOMPARE(QAccessible::queryAccessibleInterface(options[2])->text(QAccessible::Name), u"丙 推荐"_s);
        QVERIFY(!primary(card)->isEnabled());

        QAccessibleInterface *second = QAccessible::queryAccessibleInterface(row(card, u"乙"_s));
        second->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(second->state().checked);
        QCOMPARE(card->flow().draft(*card->flow().current()).selected, std::vector<QString>{u"乙"_s});
        QVERIFY(primary(card)->isEnabled());

        row(card, u"丙"_s)->setChecked(true);
        QCOMPARE(card->flow().draft(*card->flow().current()).selected, std::vector<QString>{u"丙 (Recommended)"_s});
        QVERIFY(!row(card, u"乙"_s)->isChecked());
        QVERIFY(!second->state().checked);
        row(card, u"丙"_s)->setChecked(false);
        QVERIFY(row(card, u"丙"_s)->isChecked());
        QCOMPARE(card->flow().draft(*card->flow().current()).selected, std::vector<QString>{u"丙 (Recommended)"_s});

        // Return on the focused submit button answers, as its click does.
        primary(card)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(primary(card), Qt::Key_Return);
        QTRY_COMPARE(answerSummary(), QStringList{u"q1:丙 (Recommended)"_s});

        const PendingQuestion multi = ask(u"r2"_s, {question(u"m1"_s, {u"一"_s, u"二"_s, u"三"_s}, true)});
        card = show<QuestionCard>(multi);
        for (QuestionOptionRow *option : rows(card))
            QCOMPARE(QAccessible::queryAccessibleInterface(option)->role(), QAccessible::CheckBox);
        row(card, u"三"_s)->toggle();
        QAccessible::queryAccessibleInterface(row(card, u"一"_s))->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(card->flow().draft(*card->flow().current()).selected, (std::vector<QString>{u"三"_s, u"一"_s}));
        QVERIFY(QAccessible::queryAccessibleInterface(row(card, u"三"_s))->state().checked);
        row(card, u"三"_s)->setChecked(false);
        row(card, u"一"_s)->toggle();
        QVERIFY(card->flow().draft(*card->flow().current()).selected.empty());
        QVERIFY(!primary(card)->isEnabled());
        // Space on a focused option ticks it.
        row(card, u"二"_s)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(row(card, u"二"_s), Qt::Key_Space);
        QCOMPARE(card->flow().draft(*card->flow().current()).selected, std::vector<QString>{u"二"_s});
        test::requireAccessible(m_window.get());
    }

    // The chosen answer shows without the focus, in the accent colour, and the keyboard focus
    // is a ring of its own: neither looks like the other, nor like an idle option.
    void chosenAndFocusedOptionsLookApart()
    {
        auto *card = show<QuestionCard>(ask(u"r1"_s, {question(u"q1"_s, {u"甲"_s, u"乙"_s, u"丙"_s})}));
        QuestionOptionRow *focused = row(card, u"甲"_s);
        QuestionOptionRow *chosen = row(card, u"乙"_s);
        QuestionOptionRow *idle = row(card, u"丙"_s);
        QTest::mouseClick(chosen, Qt::LeftButton);
        focused->setFocus(Qt::TabFocusReason);
        QTest::mouseMove(m_window.get(), QPoint(1, 1)); // no option under the pointer
        QTRY_VERIFY(focused->hasFocus() && !chosen->hasFocus() && !chosen->underMouse());
        QVERIFY(chosen->isChecked() && !focused->isChecked());
        QAccessibleInterface *chosenInterface = QAccessible::queryAccessibleInterface(chosen);
        QAccessibleInterface *focusedInterface = QAccessible::queryAccessibleInterface(focused);
        QVERIFY(chosenInterface->state().checked && !chosenInterface->state().focused);
        QVERIFY(!focusedInterface->state().checked && focusedInterface->state().focused);

        // Inside the row right of its text, and on its edge.
        const auto look = [](QuestionOptionRow *option) {
            const QImage image = option->grab().toImage();
            return std::pair{image.pixelColor(image.width() - 16, image.height() / 2),
                             image.pixelColor(image.width() / 2, 1)};
        };
        const auto [chosenInside, chosenEdge] = look(chosen);
        const auto [focusedInside, focusedEdge] = look(focused);
        const auto [idleInside, idleEdge] = look(idle);
        QVERIFY(chosenInside != focusedInside);
        QVERIFY(chosenInside != idleInside);
        QVERIFY(focusedEdge != idleEdge);
        QVERIFY(focusedEdge != chosenEdge);
        // The choice is in the accent colour, not a grey.
        QVERIFY(chosenInside.hueF() >= 0 && std::abs(chosenInside.hueF() - Theme::brand().hueF()) < 0.05);
    }

    // Tab goes through the card from top to bottom: close, the options, the typed answer,
    // then the footer, on every page.
    void tabFollowsTheCardTopToBottom()
    {
        JSONValue first = question(u"q1"_s, {u"甲"_s, u"乙"_s}).with(u"detail"_s, u"见 [说明](https://example.org)"_s);
        const PendingQuestion asked = ask(u"r1"_s, {first, question(u"q2"_s, {u"丙"_s, u"丁"_s, u"戊"_s})});
        auto *card = show<QuestionCard>(asked);
        QWidget *close = card->findChild<QWidget *>(u"question-cancel"_s);
        const QStringList expectedFirst = {u"question-cancel"_s, u"question-body"_s, u"question-option"_s,
                                           u"question-option"_s, u"question-custom"_s, u"question-next"_s,
                                           u"question-skip"_s, u"question-cancel"_s};
        QStringList stops = tabStops(card, close, 12);
        stops.removeAll(u"markdown-blocks"_s); // the detail's text takes focus for its link
        QCOMPARE(stops.mid(0, expectedFirst.size()), expectedFirst);
        QTest::mouseClick(card->findChild<QAbstractButton *>(u"question-skip"_s), Qt::LeftButton);
        QCOMPARE(counter(card), u"2 / 2"_s);
        const QStringList expectedSecond = {u"question-cancel"_s, u"question-body"_s, u"question-option"_s,
                                            u"question-option"_s, u"question-option"_s, u"question-custom"_s,
                                            u"question-previous"_s, u"question-skip"_s, u"question-cancel"_s};
        QCOMPARE(tabStops(card, close, 12).mid(0, expectedSecond.size()), expectedSecond);
    }

    // The detail is Markdown drawn as the transcript draws it, smaller and secondary: no
    // marks, a link by its text, host text that looks like HTML shown as written.
    void detailIsRenderedMarkdown()
    {
        JSONValue q = question(u"q1"_s, {u"甲"_s}).with(u"detail"_s, u"**注意**：见 [文档](https://example.org/d) <b>原样</b>\n\n- 一项"_s);
        auto *card = show<QuestionCard>(ask(u"r1"_s, {q}));
        auto *detail = card->findChild<MarkdownText *>(u"question-detail"_s);
        QVERIFY(detail);
        QVERIFY(detail->isVisible());
        auto *blocks = detail->findChild<MarkdownDocumentView *>();
        QVERIFY(blocks);
        QCOMPARE(blocks->document()->toPlainText(), u"注意：见 文档 <b>原样</b>\n•\t一项"_s);
        QCOMPARE(blocks->document()->defaultFont().pointSizeF(), Fonts::system(12).pointSizeF());
        test::requireAccessible(m_window.get());

        card->setQuestion(ask(u"r2"_s, {question(u"q2"_s, {u"乙"_s})}));
        QVERIFY(!detail->isVisible());
    }

    // Every control of the cards does by its accessibility action what its click does: the
    // same choice, page, message, and answer to the host.
    void actionsDoWhatClicksDo_data()
    {
        QTest::addColumn<bool>("multi");
        QTest::addColumn<int>("questions");
        QTest::newRow("one single choice") << false << 1;
        QTest::newRow("single choices, two pages") << false << 2;
        QTest::newRow("multiple choice") << true << 1;
    }

    void actionsDoWhatClicksDo()
    {
        QFETCH(bool, multi);
        QFETCH(int, questions);
        JSONValue::Elements set;
        for (int i = 0; i < questions; ++i)
            set.push_back(question(u"q"_s + QString::number(i), {u"甲"_s, u"乙"_s, u"丙"_s}, multi));
        QuestionCard *card = nullptr;
        qsizetype baseline = 0;
        int asked = 0;
        test::ActionParityCheck check;
        // A new request each time: the host takes one answer per request.
        check.open = [&]() -> QWidget * {
            card = show<QuestionCard>(ask(u"r"_s + QString::number(++asked), set));
            baseline = m_h->world.answers().size();
            return m_window.get();
        };
        check.state = [&] { return cardState(card, baseline); };
        check.async = true;
        check.quiet = [&] { m_h->waitForQuietHost(); };
        const test::ActionParityReport report = test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        // Close, three options and skip at least (the submit button waits for a choice), and
        // each of them changes something.
        QVERIFY2(report.controls.size() >= 5, qPrintable(report.controls.join(u'\n')));
        QCOMPARE(report.changed, report.controls.size());
    }

    void approvalActionsDoWhatClicksDo()
    {
        qsizetype baseline = 0;
        int asked = 0;
        test::ActionParityCheck check;
        // A new request each time: the host takes one answer per request.
        check.open = [&]() -> QWidget * {
            const QString rpcId = u"a"_s + QString::number(++asked);
            m_h->world.pushApprovalRequested(rpcId, JSONValue::object({{u"sessionId"_s, u"s1"_s},
                                                                       {u"approvalId"_s, u"ap-"_s + rpcId},
                                                                       {u"toolName"_s, u"shell"_s}}));
            std::optional<PendingApproval> approval;
            (void)QTest::qWaitFor([&] {
                for (const PendingApproval &pending : m_h->store->interactions()->pendingApprovals()) {
                    if (pending.rpcId == rpcId)
                        approval = pending;
                }
                return approval.has_value();
            });
            if (!approval)
                return nullptr;
            show<ApprovalCard>(*approval);
            baseline = m_h->world.answers().size();
            return m_window.get();
        };
        // The outcome, without the request's own id.
        check.state = [&] {
            QString answers = hostAnswers(baseline);
            answers.replace(QRegularExpression(u"\"approvalId\":\"[^\"]*\""_s), u"\"approvalId\""_s);
            return answers;
        };
        check.async = true;
        check.quiet = [&] { m_h->waitForQuietHost(); };
        const test::ActionParityReport report = test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        QCOMPARE(report.controls.size(), 2);
        QCOMPARE(report.changed, 2);
    }

    // In a narrow column (the side chat) text wraps: each card grows to show all of it, and
    // the question's body is no taller than its options; an approval's title is one line.
    void narrowCardsShowAllTheirText()
    {
        m_h->world.pushApprovalRequested(u"a1"_s, JSONValue::object(
            {{u"sessionId"_s, u"s1"_s},
             {u"approvalId"_s, u"ap-1"_s},
             {u"toolName"_s, u"grep"_s},
             {u"reason"_s, u"在整个工作区中替换 notes.md 的引用"_s}}));
        QTRY_COMPARE(m_h->store->interactions()->pendingApprovals().size(), size_t(1));
        const PendingQuestion asked = ask(u"r1"_s, {question(u"q1"_s, {u"第一个选项，说明很长很长很长很长很长很长很长很长"_s,
                                                                      u"第二个选项"_s})});

        m_window = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_window.get());
        auto *questionCard = new QuestionCard(m_h->store->interactions(), asked, m_window.get());
        auto *approvalCard =
            new ApprovalCard(m_h->store->interactions(), m_h->store->interactions()->pendingApprovals()[0], m_window.get());
        layout->addWidget(questionCard);
        layout->addWidget(approvalCard);
        layout->addStretch(1);
        m_window->resize(340, 900);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));

        // The approval's title is one line; too narrow for it beside the buttons, the card puts
        // them below, and the title reads whole.
        auto *title = approvalCard->findChild<ElidedLabel *>(u"approval-title"_s);
        QTRY_VERIFY(title->width() > 0);
        QCOMPARE(title->height(), title->fontMetrics().height());
        QCOMPARE(title->shownText(), ApprovalCard::titleText(u"grep"_s));
        QCOMPARE(title->toolTip().remove(u'\n'), ApprovalCard::titleText(u"grep"_s));
        for (const char *name : {"approval-reject", "approval-allow"}) {
            const auto *button = approvalCard->findChild<QAbstractButton *>(QString::fromLatin1(name));
            QVERIFY(approvalCard->rect().contains(QRect(button->mapTo(approvalCard, QPoint()), button->size())));
            QVERIFY(button->y() > title->mapTo(approvalCard, QPoint(0, title->height())).y());
        }
        QVERIFY(approvalCard->height() >= approvalCard->heightForWidth(approvalCard->width()));

        auto *body = questionCard->findChild<QScrollArea *>(u"question-body"_s);
        QWidget *content = body->widget();
        QTRY_COMPARE(body->verticalScrollBar()->maximum(), 0);
        QCOMPARE(body->height(), content->layout()->totalHeightForWidth(body->viewport()->width()));
        QVERIFY(questionCard->height() >= questionCard->heightForWidth(questionCard->width()));
        test::requireAccessible(m_window.get());
    }
};

NBD_GUI_TEST_MAIN(tst_QuestionCards)
#include "tst_questioncards.moc"
