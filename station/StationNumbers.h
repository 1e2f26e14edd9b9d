#pragma once

#include "engine/DeviceImages.h"
#include "numbers/NumberSupply.h"
#include "numbers/NumberedImage.h"
#include "station/StationPlan.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <variant>

// A number of its own for every device of a station: drawn from the shared
// state file for a device that has just answered, put into its image, and
// settled when its attempt ends. Used up by a pass; given back only when no
// byte of the image left the port, since only then can the device surely not
// hold it; skipped otherwise. A gap in the numbers is the price of never
// giving one number to two devices.
class StationNumbers : public DeviceImages
{
public:
    // Reads the plan and checks it against `image` (the firmware as sent)
    // before any port is opened: the address and the form, the counter or
    // the list, the image's records, and the state file (beside `logPath`
    // when the plan names none). The reason in words when any is refused.
    static std::variant<std::shared_ptr<StationNumbers>, QString>
    prepare(const NumberPlan &plan, const QByteArray &image, const QString &logPath);

    // The same checks without the state file: what a profile is checked
    // with before it is written. Empty when the plan can be used.
    static QString check(const NumberPlan &plan, const QByteArray &image);

    std::optional<ForDevice> take(QString *why) override;
    NumberFate settle(const ForDevice &taken, const Attempt &attempt) override;

    const NumberForm &form() const { return m_supply->form(); }
    const NumberSource &source() const { return m_supply->source(); }
    const QString &statePath() const { return m_supply->statePath(); }
    // "le:4 at 0x0800F000, counter 1000 step 1, state /srv/line/numbers"
    QString description() const;
    // The number the next device would get, in words ("next 1042", "used
    // up", or why the state cannot be read).
    QString nextInWords();

private:
    StationNumbers(NumberedImage image, std::unique_ptr<NumberSupply> supply);

    NumberedImage m_image;
    std::unique_ptr<NumberSupply> m_supply;
};

// The record's serial column for an attempt: its number, with "given back"
// or "skipped" after a number the device does not keep; empty without one.
QString serialOfAttempt(const Attempt &attempt);
