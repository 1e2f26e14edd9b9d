#include "support/MessageBoxCatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

MessageBoxCatcher::MessageBoxCatcher()
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &MessageBoxCatcher::poll);
    m_timer.start();
}

QStringList MessageBoxCatcher::texts() const
{
    QStringList result;
    for (const Box &box : m_boxes)
        result << box.text;
    return result;
}

void MessageBoxCatcher::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return;
    if (box != m_lastSeen) {
        m_lastSeen = box;
        m_boxes.append({box->windowTitle(), box->text()});
        if (m_nextAction) {
            auto action = std::move(m_nextAction);
            m_nextAction = nullptr;
            action();
        }
    }
    if (!m_holding) {
        m_lastSeen = nullptr;
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }
}
