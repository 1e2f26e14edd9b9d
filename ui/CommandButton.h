#pragma once

#include <QPushButton>

// A push button whose caption wraps onto more lines when it is wider than the
// button, so large captions such as "Download Flash" stay whole.
class CommandButton : public QPushButton
{
    Q_OBJECT

public:
    CommandButton(const QString &caption, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
};
