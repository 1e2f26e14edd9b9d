// evaluate() on any state: the file-check caption, the pending mark and the
// received bytes, given as "caption LF pending LF received" (the received
// bytes may hold anything, LF included). Every outcome must be the one the
// state calls for, taken from the top of the list.

#include "fuzz/Check.h"

#include "engine/Evaluation.h"

#include <cstddef>
#include <cstdint>

namespace {

// The bytes up to the next LF, or to the end; `rest` keeps what follows.
QByteArrayView takeLine(QByteArrayView &rest)
{
    const qsizetype lf = rest.indexOf('\n');
    const QByteArrayView line = lf < 0 ? rest : rest.first(lf);
    rest = lf < 0 ? QByteArrayView() : rest.sliced(lf + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArrayView rest(data, static_cast<qsizetype>(size));
    const QString caption = QString::fromUtf8(takeLine(rest));
    const QString pending = QString::fromUtf8(takeLine(rest));
    const QByteArray rx = rest.toByteArray();

    const bool goodFile = caption == QLatin1String("Pass!");
    const bool downloadPending = pending == QLatin1String("?");
    const Outcome outcome = evaluate(caption, rx, pending);

    FUZZ_CHECK((outcome == Outcome::NoUsableFile) == !goodFile);
    if (!goodFile)
        return 0;
    // Without a download waiting, nothing the device sent is a verdict.
    FUZZ_CHECK((outcome == Outcome::Ready) == !downloadPending);
    if (!downloadPending)
        return 0;
    // "Pass!" only for exactly "OK!"; a download fails on anything else.
    FUZZ_CHECK((outcome == Outcome::DownloadPassed) == (rx == "OK!"));
    FUZZ_CHECK((outcome == Outcome::DownloadFailed) == (rx != "OK!"));
    return 0;
}
