#include "cli/RunInputs.h"

#include "cli/FlashDisplay.h"
#include "engine/FirmwareFile.h"
#include "log/ProductionLog.h"
#include "station/StationNumbers.h"

#include <QCryptographicHash>
#include <QFileInfo>

std::variant<RunInputs, QString> readRunInputs(const FlashRequest &request, const QByteArray &expectedSha256,
                                               bool needsSerial)
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
    if (!expectedSha256.isEmpty() && inputs.sha256 != expectedSha256.toLower()) {
        return QStringLiteral("the firmware file %1 has the SHA-256 %2, not the %3 its profile names; the station "
                              "flashes only the file it was given: for a new build, make a new profile")
            .arg(inputs.firmwarePath, QString::fromLatin1(inputs.sha256), QString::fromLatin1(expectedSha256));
    }
    if (!request.logPath.isEmpty()) {
        qint64 fragment = 0;
        inputs.log = ProductionLog::open(request.logPath, &reason, &fragment, needsSerial);
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

std::variant<StationInputs, QString> readStationInputs(const StationPlan &plan)
{
    FlashRequest request;
    request.firmwarePath = plan.firmwarePath;
    request.logPath = plan.logPath;
    std::variant<RunInputs, QString> read = readRunInputs(request, plan.firmwareSha256, plan.numbers.has_value());
    if (const QString *why = std::get_if<QString>(&read))
        return *why;
    RunInputs &inputs = std::get<RunInputs>(read);
    StationInputs station;
    if (plan.numbers) {
        std::variant<std::shared_ptr<StationNumbers>, QString> numbers =
            StationNumbers::prepare(*plan.numbers, inputs.image, plan.logPath);
        if (const QString *why = std::get_if<QString>(&numbers))
            return *why;
        station.numbers = std::get<std::shared_ptr<StationNumbers>>(numbers);
    }
    station.firmware = StationFirmware{inputs.firmwarePath, inputs.image, inputs.sha256};
    station.log = std::move(inputs.log);
    station.notice = inputs.notice;
    return station;
}
