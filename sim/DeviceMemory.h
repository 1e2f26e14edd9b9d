#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

#include <map>
#include <string>

// A device's flash as the images sent to it left it: a 32-bit address space
// of which only the bytes written are held. What was never written reads as
// 0xFF, as erased flash does.
//
// A plain value: copying it copies the bytes (no sharing), so a copy can be
// handed from the device's thread to any other.
class DeviceMemory
{
public:
    // One stretch of written bytes; stretches never overlap nor touch.
    struct Range
    {
        quint32 address = 0;
        QByteArray bytes;

        friend bool operator==(const Range &, const Range &) = default;
    };

    // Writes over whatever was there; past 0xFFFFFFFF it goes on at 0.
    void write(quint32 address, QByteArrayView bytes);
    // `length` bytes from `address`, 0xFF where nothing was written; past
    // 0xFFFFFFFF it goes on at 0. Empty for a length of 0 or less.
    QByteArray read(quint32 address, int length) const;
    // Every written stretch, in address order.
    QList<Range> ranges() const;
    bool isErased() const;
    void erase();

    friend bool operator==(const DeviceMemory &, const DeviceMemory &) = default;

private:
    // By the first address of each stretch; std::string holds the bytes so
    // a copy is a copy.
    std::map<quint32, std::string> m_ranges;
};
