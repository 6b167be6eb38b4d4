#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <optional>

class QAbstractButton;

namespace nbd {

// A fenced code block: header with the language and a copy button, then the code in a box
// that scrolls sideways.
class MarkdownCodeBlock : public QWidget
{
    Q_OBJECT
public:
    MarkdownCodeBlock(const QString &code, const std::optional<QString> &language, QWidget *parent = nullptr);
    // With the code already cut into its lines (on the thread pool: a code block of millions of
    // lines takes longer than a frame to cut).
    MarkdownCodeBlock(const QString &code, const QStringList &lines, const std::optional<QString> &language,
                      QWidget *parent = nullptr);

    QString code() const { return m_code; }
    bool copied() const { return m_copied; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void copy();
    void setCopied(bool copied);

    QString m_code;
    bool m_copied = false;
    QAbstractButton *m_copyButton = nullptr;
};

} // namespace nbd
