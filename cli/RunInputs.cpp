#include "cli/RunInputs.h"

#include "cli/FlashDisplay.h"
#include "engine/FirmwareFile.h"
#include "log/ProductionLog.h"

#include <QCryptographicHash>
#include <QFileInfo>

std::variant<RunInputs, QString> readRunInputs(const FlashRequest &request)
{
    QString reason;
    const std::optional<QByteArray> bytes = FirmwareFile::readBytes(request.firmwarePath, &reason);
    if (!bytes)
        return QStringLiteral("cannot read the firmware file %1: %2").arg(request.firmwarePath, reason);
    const FirmwareFile::Image image = FirmwareFile::parse(*bytes);
    if (!image.passed) {
        return QStringLiteral("%1 is not a firmware file: its first line must begin with \":-::\" and end with "
                              "\":::-\"")
            .arg(request.firmwarePath);
    }
    RunInputs inputs;
    inputs.image = image.text;
    inputs.firmwarePath = QFileInfo(request.firmwarePath).absoluteFilePath();
    inputs.sha256 = QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex();
    if (!request.logPath.isEmpty()) {
        qint64 fragment = 0;
        inputs.log = ProductionLog::open(request.logPath, &reason, &fragment);
        if (!inputs.log)
            return reason;
        if (fragment > 0) {
            inputs.notice = QStringLiteral("the log %1 ended in an unfinished line of %2 bytes; it is kept, closed "
                                           "with a line end")
                                .arg(FlashDisplay::shownPath(request.logPath))
                                .arg(fragment);
        }
    }
    return inputs;
}
