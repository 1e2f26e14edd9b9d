#pragma once

#include <QString>
#include <QtGlobal>

// What the port-number box's text means.
struct PortEntry
{
    enum class Verdict {
        Accepted,   // a number from 1 to 16; `number` holds it
        OutOfRange, // a number, but below 1 or above 16
        NotANumber, // empty, letters, a lone sign or point, ...
    };

    Verdict verdict = Verdict::NotANumber;
    qint16 number = 0;

    // The ordinary numeric reading of text (blanks around it, an optional
    // sign, digits with an optional decimal point, an optional exponent),
    // the range check, then rounding to the nearest integer with a half
    // going to the even neighbour: "2.5" is port 2, "3.5" is port 4.
    static PortEntry read(const QString &text);
};
