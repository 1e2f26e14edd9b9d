#pragma once

#include <QString>

#include <stdexcept>

// A failure of the program: a number and a readable description. Procedures
// that expect failures catch it around their whole body; everything else goes
// to the default handling at the event boundary (Program::guard).
class Failure : public std::runtime_error
{
public:
    Failure(int number, const QString &description);

    int number() const { return m_number; }
    QString description() const { return m_description; }

private:
    int m_number;
    QString m_description;
};

// Error numbers the program raises itself.
namespace FailureNumber {
constexpr int Overflow = 6;          // a 16-bit counter would pass 32767
constexpr int InvalidProperty = 380; // a settings string the port cannot apply
constexpr int Internal = 51;         // anything that is not a Failure of our own
} // namespace FailureNumber

// Thrown when the window that runs an exchange has been closed (or the program
// is ending) while the exchange waited: the exchange stops where it is and
// touches the serial port no more. It is not a failure and shows nothing.
class ExchangeInterrupted : public std::exception
{
public:
    const char *what() const noexcept override { return "exchange interrupted"; }
};
