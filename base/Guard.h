#pragma once

#include "base/Failure.h"

#include <QString>

#include <exception>

// The boundary between Qt's event loop and the program's procedures. Every
// event procedure is entered through guard(): no exception ever crosses the
// event loop. An interrupted exchange ends quietly; any other failure goes to
// the default handling that the running program installed (the windows: a
// message box and the end of the program).
namespace Guard {

using DefaultHandling = void (*)(int number, const QString &description);

// Installs the handling for failures no procedure took; nullptr removes it.
void setDefaultHandling(DefaultHandling handling);

// Hands a failure to the installed handling, or, with none installed,
// reports it on standard error and ends the process with status 1.
void reportUnhandled(int number, const QString &description);

// Ends the process at once, without a core dump: the last resort when even
// the report of a failure failed.
[[noreturn]] void endAtOnce() noexcept;

} // namespace Guard

template <typename Procedure>
void guard(Procedure &&procedure) noexcept
{
    try {
        try {
            procedure();
        } catch (const ExchangeInterrupted &) {
        } catch (const Failure &failure) {
            Guard::reportUnhandled(failure.number(), failure.description());
        } catch (const std::exception &error) {
            Guard::reportUnhandled(FailureNumber::Internal, QString::fromLocal8Bit(error.what()));
        } catch (...) {
            Guard::reportUnhandled(FailureNumber::Internal, QStringLiteral("Unknown failure"));
        }
    } catch (...) {
        // The report itself failed (out of memory, say): the system closes
        // the ports with the process.
        Guard::endAtOnce();
    }
}
