#pragma once

#include <QString>

class QWidget;

namespace Dialogs {

// Every message to the operator: modal, titled "Information", OK only.
void showInformation(QWidget *parent, const QString &text);

// The file-open dialog; an empty result when the operator cancels.
QString chooseFileToOpen(QWidget *parent, const QString &filter);

} // namespace Dialogs
