#pragma once

#include "engine/Attempt.h"

#include <QByteArray>
#include <QString>

#include <any>
#include <optional>

// Where a slot gets the image for the device in front of it, when every
// device gets a number of its own written into its image. Called on the
// slots' threads, so safe from any thread.
class DeviceImages
{
public:
    struct ForDevice
    {
        QByteArray image;  // what this device is sent
        QString number;    // its number, as shown and logged
        std::any taken;    // what the taker needs back in settle(): its own, unread here
    };

    virtual ~DeviceImages() = default;

    // The image for a device that has just answered, its number already
    // recorded as taken. Nothing, and why, when no number can be taken for
    // it: the device is then not flashed.
    virtual std::optional<ForDevice> take(QString *why) = 0;

    // After the attempt with `taken` ended: what became of its number. Used
    // up by a pass; given back when no byte of the image left the port, so
    // the device cannot hold it; otherwise skipped.
    virtual NumberFate settle(const ForDevice &taken, const Attempt &attempt) = 0;
};
