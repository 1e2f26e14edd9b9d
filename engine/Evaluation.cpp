#include "engine/Evaluation.h"

Outcome evaluate(const QString &fileCheckCaption, const QByteArray &rxBuffer, const QString &pending)
{
    const bool downloadPending = pending == QLatin1String("?");
    if (fileCheckCaption != QLatin1String("Pass!"))
        return Outcome::NoUsableFile;
    if (rxBuffer == "OK!")
        return Outcome::DownloadPassed;
    if (downloadPending)
        return Outcome::DownloadFailed;
    if (rxBuffer == "ER")
        return Outcome::DeviceError;
    if (rxBuffer == "ErasedHEX:" || rxBuffer == "C:")
        return Outcome::DeviceReport;
    return Outcome::Ready;
}
