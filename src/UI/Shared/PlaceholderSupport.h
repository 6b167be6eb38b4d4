#pragma once

#include <QWidget>

namespace nbd {

// A plain surface for the views still to be built, with a centred caption that names the view,
// so that a placeholder is never mistaken for the real thing. The caption is kept in the
// "placeholderCaption" property.
class PlaceholderSurface : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString placeholderCaption READ caption)
public:
    enum class Fill { Canvas, Sidebar, None };
    explicit PlaceholderSurface(const QString &caption, Fill fill = Fill::Canvas, QWidget *parent = nullptr);
    QString caption() const { return m_caption; }
    void setDetail(const QString &detail);
    QString detail() const { return m_detail; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_caption;
    QString m_detail;
    Fill m_fill;
};

} // namespace nbd
