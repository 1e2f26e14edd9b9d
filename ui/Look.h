#pragma once

#include <QColor>
#include <QFont>

class QWidget;

// Fonts and colours of the two windows.
namespace Look {

inline const QColor Green(0, 255, 0);
inline const QColor Red(255, 0, 0);
inline const QColor LightYellow(255, 255, 192);
inline const QColor LightPink(255, 192, 192);

// The windows' face, "Arial Unicode MS", with fallbacks where it is missing.
QFont controlFont(qreal pointSize, bool bold = false);

void setTextColour(QWidget *widget, const QColor &colour);
void setBackColour(QWidget *widget, const QColor &colour);

} // namespace Look
