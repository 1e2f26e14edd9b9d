#include "engine/Evaluation.h"

Outcome evaluate(const QString &fileCheckCaption, const QByteArray &rxBuffer, const QString &pending)
{
    if (fileCheckCaption != QLatin1String("Pass!"))
        return Outcome::NoUsableFile;
    // Only the answer to an image just sent is a verdict. Whatever the device
    // said before a file load ("OK!" to an earlier image, "ER", a report) says
    // nothing about the device now on the bench, which may be unprogrammed.
    if (pending != QLatin1String("?"))
        return Outcome::Ready;
    return rxBuffer == "OK!" ? Outcome::DownloadPassed : Outcome::DownloadFailed;
}
