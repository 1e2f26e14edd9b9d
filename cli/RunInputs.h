#pragma once

#include "cli/FlashRequest.h"
#include "station/StationPlan.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <variant>

class ProductionLog;

// What every port of a flash, or every slot of a station, shares: all of it
// checked before any port is opened.
struct RunInputs
{
    QByteArray image;     // the firmware as "Open File" reads it: what is sent
    QString firmwarePath; // absolute, for the log
    QByteArray sha256;    // hex, of the file's bytes as read
    std::unique_ptr<ProductionLog> log;
    QString notice; // something the operator should know (a log's unfinished line closed); empty: nothing
};

// Reads and checks the firmware file as "Open File" does and opens the log;
// the reason in words when either is refused. With `expectedSha256`, a
// firmware file with another digest is refused; with `needsSerial`, a log
// begun without the serial column is.
std::variant<RunInputs, QString> readRunInputs(const FlashRequest &request, const QByteArray &expectedSha256 = {},
                                               bool needsSerial = false);

// The same for a station's plan, and its device numbers made ready.
std::variant<StationInputs, QString> readStationInputs(const StationPlan &plan);
