#include "ui/CommandButton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

CommandButton::CommandButton(const QString &caption, QWidget *parent)
    : QPushButton(caption, parent)
{
    setAutoDefault(true); // Enter presses it, as Space does
    setAccessibleName(caption);
}

void CommandButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);

    const QRect textArea = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    const QPalette::ColorRole role = QPalette::ButtonText;
    painter.drawItemText(textArea, Qt::AlignCenter | Qt::TextWordWrap, option.palette, isEnabled(), text(), role);
}
