#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Answers the program's modal message boxes while a test drives it: it polls
// for the active modal box, records its title and text, and presses OK.
class MessageBoxCatcher : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
    };

    MessageBoxCatcher();

    QList<Box> boxes() const { return m_boxes; }
    // Texts of the boxes seen so far, in order.
    QStringList texts() const;
    void clear() { m_boxes.clear(); }
    // While held, boxes are recorded but left open.
    void setHolding(bool holding) { m_holding = holding; }
    // A callback run once for the next box seen, before it is answered.
    void onNextBox(std::function<void()> action) { m_nextAction = std::move(action); }

private:
    void poll();

    QTimer m_timer;
    QList<Box> m_boxes;
    QObject *m_lastSeen = nullptr;
    bool m_holding = false;
    std::function<void()> m_nextAction;
};
