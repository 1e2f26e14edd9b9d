#pragma once

#include <QRect>
#include <QWidget>

// Window layouts are drawn in twips: 1/1440 inch, 15 to a device-independent
// pixel, so Qt's scaling keeps them right on high-density screens.
namespace Twips {

constexpr int TwipsPerPixel = 15;

constexpr int toPixels(int twips)
{
    return (twips + TwipsPerPixel / 2) / TwipsPerPixel;
}

inline QRect rect(int left, int top, int width, int height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

inline void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(rect(left, top, width, height));
}

} // namespace Twips
