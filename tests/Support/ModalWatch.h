#pragma once

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QStringList>
#include <QWidget>

namespace nbd::test {

// Every modal window shown while it lives, by class; each is closed again at once so that a
// page that opens one cannot hang the test in the dialog's own event loop.
class ModalWatch : public QObject
{
public:
    ModalWatch() { qApp->installEventFilter(this); }
    ~ModalWatch() override { qApp->removeEventFilter(this); }
    QStringList seen;

    // Also what the application itself says at this moment.
    QStringList now()
    {
        if (QWidget *modal = QApplication::activeModalWidget())
            seen << QString::fromLatin1(modal->metaObject()->className());
        return seen;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (event->type() == QEvent::Show && widget && widget->isWindow() && widget->windowModality() != Qt::NonModal) {
            seen << QString::fromLatin1(widget->metaObject()->className());
            if (auto *dialog = qobject_cast<QDialog *>(widget))
                QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
            else
                QMetaObject::invokeMethod(widget, &QWidget::close, Qt::QueuedConnection);
        }
        return false;
    }
};

} // namespace nbd::test
