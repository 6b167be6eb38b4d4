#pragma once

#include "Domain/Subagents.h"
#include "Session/Transcript.h"
#include "UI/Shared/BlinkingCursor.h"

#include <QImage>
#include <QPointer>
#include <QTextLayout>
#include <QWidget>

#include <memory>

class QLabel;
class QHBoxLayout;
class QVBoxLayout;

namespace nbd {

class Spinner;
class SessionActions;
class BlinkingCursor;
class StreamingTextPiece;

// A label drawn on a rounded fill: the user's bubble and the steering bubble.
class BubbleLabel : public QWidget
{
    Q_OBJECT
public:
    BubbleLabel(const QFont &font, QMargins padding, qreal radius, int maxWidth, QWidget *parent = nullptr);
    void setText(const QString &text);
    QString text() const;
    void setFill(const QColor &fill);
    QLabel *label() const { return m_label; }

    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QLabel *m_label;
    QMargins m_padding;
    qreal m_radius;
    int m_maxWidth;
    QColor m_fill;
};

// One image attached to a user message: a placeholder with a spinner until its bytes arrive
// from the store and decode, then the image scaled to fit.
class AttachmentImageView : public QWidget
{
    Q_OBJECT
public:
    AttachmentImageView(SessionActions *sessionActions, const QString &sessionId, const ImageAttachmentRef &ref,
                        QWidget *parent = nullptr);
    ~AttachmentImageView() override;

    static QSize placeholderSize(const ImageAttachmentRef &ref);
    static QString helpText(const ImageAttachmentRef &ref);

    const ImageAttachmentRef &ref() const { return m_ref; }
    bool hasImage() const { return !m_image.isNull(); }
    QSize sizeHint() const override;

Q_SIGNALS:
    void imageLoaded();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void load();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<SessionActions> m_sessionActions;
    QString m_sessionId;
    ImageAttachmentRef m_ref;
    QImage m_image;
    Spinner *m_spinner;
};

// The user's own message at the trailing edge: its images, then its text in a bubble.
class UserBubble : public QWidget
{
    Q_OBJECT
public:
    UserBubble(SessionActions *sessionActions, const QString &sessionId, const UserMessageItem &message,
               QWidget *parent = nullptr);

    const UserMessageItem &message() const { return m_message; }
    void setMessage(const QString &sessionId, const UserMessageItem &message);
    BubbleLabel *bubble() const { return m_bubble; }
    QList<AttachmentImageView *> attachments() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    void heightMayHaveChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void rebuildImages();

    QPointer<SessionActions> m_sessionActions;
    QString m_sessionId;
    UserMessageItem m_message;
    QHBoxLayout *m_row;
    QWidget *m_images;
    QHBoxLayout *m_imageRow;
    BubbleLabel *m_bubble;
};

// A steering message the host has not spliced into the running turn yet: accent-tinted,
// smaller and a little faded beside a delivered message.
class PendingSteeringBubble : public QWidget
{
    Q_OBJECT
public:
    explicit PendingSteeringBubble(const PendingUserMessage &message, QWidget *parent = nullptr);
    void setMessage(const PendingUserMessage &message);
    QString text() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QHBoxLayout *m_row;
    BubbleLabel *m_bubble;
};

// Assistant text while it streams: the raw text (no Markdown) with the blinking cursor on its
// own line under it. Long text is held in paragraph chunks, so that a delta lays out only the
// chunk it lands in, however long the block has grown.
class StreamingText : public QWidget
{
    Q_OBJECT
public:
    static constexpr qsizetype kChunkLength = 500;

    explicit StreamingText(const QString &text, QWidget *parent = nullptr);
    void setText(const QString &text);
    QString text() const { return m_text; }
    BlinkingCursor *cursor() const { return m_cursor; }
    int chunkCount() const { return int(m_chunks.size()); }
    // The pieces the text is shown in: cut at the first line break after every kChunkLength
    // characters (the line break itself falls between two pieces).
    // From `from` on, which must be where a piece starts.
    static QStringList chunksOf(const QString &text, qsizetype from = 0);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // Places the pieces from `from` on below the ones before it, and the cursor under them.
    void placePieces(size_t from);

    QString m_text;
    std::vector<StreamingTextPiece *> m_chunks;
    qsizetype m_lastStart = 0; // where the last piece starts in the text
    BlinkingCursor *m_cursor;
};

// One piece of streaming text: plain text laid out once for each text and width it is given
// (a label lays its text out several times over for every change), drawn from that layout,
// selectable with the mouse and copied with the keyboard.
class StreamingTextPiece : public QWidget
{
    Q_OBJECT
public:
    explicit StreamingTextPiece(QWidget *parent = nullptr);
    void setText(const QString &text);
    const QString &text() const { return m_text; }
    QString selectedText() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void layOut(int width) const;
    int positionAt(QPointF point) const;

    QString m_text;
    mutable QTextLayout m_layout;
    mutable int m_laidOutWidth = -1;
    mutable bool m_layoutTextStale = true; // the layout does not hold the text yet
    mutable int m_height = 0;
    int m_anchor = 0;
    int m_position = 0;
};

} // namespace nbd
