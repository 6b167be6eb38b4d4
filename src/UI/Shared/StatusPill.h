#pragma once

#include <QWidget>

#include <optional>

namespace nbd {

// The small capsule badge: text, a kind that colours it, and an optional symbol before it.
class StatusPill : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    enum class Kind { Neutral, Success, Warning, Danger, Accent };
    static QColor color(Kind kind);

    StatusPill(const QString &text, Kind kind, std::optional<QString> icon = {}, QWidget *parent = nullptr);

    QString text() const { return m_text; }
    Kind kind() const { return m_kind; }
    QString symbolName() const { return m_icon.value_or(QString()); }
    void setText(const QString &text);
    void setKind(Kind kind);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    Kind m_kind;
    std::optional<QString> m_icon;
};

} // namespace nbd
