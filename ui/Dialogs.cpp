#include "ui/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace Dialogs {

void showInformation(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Information"), text, QMessageBox::Ok, parent);
    box.exec();
}

QString chooseFileToOpen(QWidget *parent, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
}

} // namespace Dialogs
