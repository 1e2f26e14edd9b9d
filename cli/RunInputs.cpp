#include "cli/RunInputs.h"

#include "cli/FlashDisplay.h"
#include "engine/FirmwareFile.h"
#include "log/ProductionLog.h"
#include "station/StationNumbers.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace {

// The firmware as "Open File" reads it, with its digest.
std::variant<RunInputs, QString> readFirmware(const QString &path, const QByteArray &expectedSha256)
{
    QString reason;
    const std::optional<QByteArray> bytes = FirmwareFile::readBytes(path, &reason);
    if (!bytes)
        return QStringLiteral("cannot read the firmware file %1: %2").arg(path, reason);
    const FirmwareFile::Image image = FirmwareFile::parse(*bytes);
    if (!image.passed) {
        return QStringLiteral("%1 is not a firmware file: its first line must begin with \":-::\" and end with "
                              "\":::-\"")
            .arg(path);
    }
    RunInputs inputs;
    inputs.image = image.text;
    inputs.firmwarePath = QFileInfo(path).absoluteFilePath();
    inputs.sha256 = QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex();
    if (!expectedSha256.isEmpty() && inputs.sha256 != expectedSha256.toLower()) {
        return QStringLiteral("the firmware file %1 has the SHA-256 %2, not the %3 its profile names; the station "
                              "flashes only the file it was given: for a new build, make a new profile")
            .arg(inputs.firmwarePath, QString::fromLatin1(inputs.sha256), QString::fromLatin1(expectedSha256));
    }
    return inputs;
}

// Opens the log into `inputs`; why not, in words.
QString openLog(const QString &path, bool needsSerial, RunInputs &inputs)
{
    if (path.isEmpty())
        return {};
    QString reason;
    qint64 fragment = 0;
    inputs.log = ProductionLog::open(path, &reason, &fragment, needsSerial);
    if (!inputs.log)
        return reason;
    if (fragment > 0) {
        inputs.notice = QStringLiteral("the log %1 ended in an unfinished line of %2 bytes; it is kept, closed with "
                                       "a line end")
                            .arg(FlashDisplay::shownPath(path))
                            .arg(fragment);
    }
    return {};
}

} // namespace

std::variant<RunInputs, QString> readRunInputs(const FlashRequest &request, const QByteArray &expectedSha256,
                                               bool needsSerial)
{
    std::variant<RunInputs, QString> read = readFirmware(request.firmwarePath, expectedSha256);
    if (RunInputs *inputs = std::get_if<RunInputs>(&read)) {
        const QString why = openLog(request.logPath, needsSerial, *inputs);
        if (!why.isEmpty())
            return why;
    }
    return read;
}

std::variant<StationInputs, QString> readStationInputs(const StationPlan &plan)
{
    std::variant<RunInputs, QString> read = readFirmware(plan.firmwarePath, plan.firmwareSha256);
    if (const QString *why = std::get_if<QString>(&read))
        return *why;
    RunInputs &inputs = std::get<RunInputs>(read);
    // Everything about the numbers that needs no file is checked before the
    // log is made: a refused start leaves no trace.
    if (plan.numbers) {
        const QString why = StationNumbers::check(*plan.numbers, inputs.image);
        if (!why.isEmpty())
            return why;
    }
    const QString why = openLog(plan.logPath, plan.numbers.has_value(), inputs);
    if (!why.isEmpty())
        return why;
    StationInputs station;
    if (plan.numbers) {
        std::variant<std::shared_ptr<StationNumbers>, QString> numbers =
            StationNumbers::prepare(*plan.numbers, inputs.image, plan.logPath);
        if (const QString *refused = std::get_if<QString>(&numbers))
            return *refused;
        station.numbers = std::get<std::shared_ptr<StationNumbers>>(numbers);
    }
    station.firmware = StationFirmware{inputs.firmwarePath, inputs.image, inputs.sha256};
    station.log = std::move(inputs.log);
    station.notice = inputs.notice;
    return station;
}
