#pragma once

#include "station/Station.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class ProductionLog;
class StationNumbers;

// Where every device's own number goes and where it comes from, as an
// engineer writes it on the command line or in a profile.
struct NumberPlan
{
    QString address;   // "0x0800F000"
    QString form;      // "le:4", "be:6", "dec:8", "hex:12"
    QString counter;   // "START[,STEP[,LAST]]"; empty when the numbers come from a list
    QString listPath;  // a list file, one value a line; empty for a counter
    QString statePath; // empty: beside the log

    bool operator==(const NumberPlan &) const = default;
};

// What a station is asked to run: from the command line, the window's boxes
// or a profile.
struct StationPlan
{
    QStringList ports; // as written: "3", "1-4", "/dev/ttyUSB0"
    QString firmwarePath;
    // The digest the firmware file must have; empty: whatever it holds. A
    // profile always names one, so the line never flashes a file it was not
    // given.
    QByteArray firmwareSha256;
    bool check = false;
    QString logPath; // empty: no production log
    std::optional<NumberPlan> numbers;

    bool operator==(const StationPlan &) const = default;
};

// What a station needs at its start besides its ports: the firmware as read
// once, the production log opened (none: no log), the numbers ready to be
// drawn (none: every device gets the same image), and anything the operator
// should be told about them (a log's unfinished last line closed).
struct StationInputs
{
    StationFirmware firmware;
    std::unique_ptr<ProductionLog> log;
    std::shared_ptr<StationNumbers> numbers;
    QString notice;
};
