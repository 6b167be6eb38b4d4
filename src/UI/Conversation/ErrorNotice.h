#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;

namespace nbd {

class StoreErrors;
class SymbolButton;

// The banner of the store's transient error: a red mark, the message (two lines at most) and
// a control that dismisses it.
class ErrorNotice : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kMaxWidth = 520;

    ErrorNotice(StoreErrors *errors, QWidget *parent = nullptr);

    QString message() const;
    void setMessage(const QString &message);
    SymbolButton *dismissButton() const { return m_dismiss; }
    QLabel *messageLabel() const { return m_label; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QPointer<StoreErrors> m_errors;
    QLabel *m_label;
    SymbolButton *m_dismiss;
};

} // namespace nbd
