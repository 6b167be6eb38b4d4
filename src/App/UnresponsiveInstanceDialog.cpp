#include "App/UnresponsiveInstanceDialog.h"

#include <QAbstractButton>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

std::unique_ptr<QMessageBox> unresponsiveInstanceDialog()
{
    auto dialog = std::make_unique<QMessageBox>(QMessageBox::Warning, u"Nimbrel Deck"_s,
                                                u"Nimbrel Deck 已在运行，但没有响应。"_s, QMessageBox::Ok);
    dialog->setObjectName(u"instance-unresponsive-dialog"_s);
    dialog->setTextFormat(Qt::PlainText);
    dialog->setInformativeText(u"请稍后再打开，或先结束正在运行的 Nimbrel Deck。"_s);
    QAbstractButton *ok = dialog->button(QMessageBox::Ok);
    ok->setText(u"好"_s);
    ok->setObjectName(u"instance-unresponsive-ok"_s);
    dialog->setEscapeButton(ok);
    return dialog;
}

} // namespace nbd
