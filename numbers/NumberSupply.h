#pragma once

#include "numbers/NumberForm.h"

#include <QList>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

class StateFile;

// Where the numbers come from: a counter, or a list of values given from
// outside (MAC addresses a vendor assigned), read once at the start.
struct NumberSource
{
    enum class Kind { Counter, List };

    Kind kind = Kind::Counter;
    quint64 start = 1; // only for a new state file: once it exists, its next number wins
    quint64 step = 1;
    std::optional<quint64> last; // the counter's last value; none: up to what the form holds
    QString listPath;            // the list file

    // "counter 1000 step 1 last 9999", "list /path/macs.txt": for the views
    // and the state file.
    QString text() const;
};

// Hands out the numbers, one per device, from a small state file that every
// station drawing from the same source shares (processes on one machine, or
// machines on a network share).
//
// A number is taken under an exclusive lock on the state file's lock file
// (`<state>.lock`, never replaced): the state is read, the next number
// chosen, the new state written to a new file, flushed to the disk and
// renamed over the old one before the lock is released and the number handed
// out. So a number handed out is recorded on the disk before any byte of a
// device's image that carries it leaves a port, and a station killed or cut
// from power can never hand it out again. A number given back (by a device
// that cannot hold it) is recorded the same way and is the next one taken.
// A number taken and never given back is skipped: a gap, never a duplicate.
//
// Safe from any thread.
class NumberSupply
{
public:
    // Opens the state file `statePath` (creating it when it does not exist)
    // for `source`, with every list value checked against `form`. Refuses,
    // saying why: a list that cannot be read or has a value that is not a
    // number or does not fit the form; a counter whose values do not fit; a
    // state file that cannot be read, written or locked, or that belongs to
    // another kind of source or another list; and numbers already used up.
    static std::unique_ptr<NumberSupply> open(const NumberSource &source, const NumberForm &form,
                                              const QString &statePath, QString *refusal);

    ~NumberSupply();

    // The next number, recorded as taken on the disk before it is returned.
    // Nothing, and why, when the numbers are used up or the state file
    // cannot be locked, read or written.
    std::optional<DeviceNumber> take(QString *why);

    // Records `number` as free again, to be the next one taken. False, and
    // why, when that could not be recorded: the number is then skipped.
    bool giveBack(const DeviceNumber &number, QString *why);

    // The number the next take() would give, read from the state under the
    // lock; nothing (and why) when the numbers are used up or the state
    // cannot be read.
    std::optional<DeviceNumber> peek(QString *why);

    const QString &statePath() const { return m_statePath; }
    const NumberSource &source() const { return m_source; }
    const NumberForm &form() const { return m_form; }

private:
    struct State; // the state file's contents

    NumberSupply(NumberSource source, NumberForm form, QString statePath);

    bool checkCounter(QString *refusal) const;
    bool readList(QString *refusal);
    State freshState() const;
    std::optional<State> parseState(const QByteArray &bytes, QString *refusal) const;
    QByteArray stateText(const State &state) const;
    std::optional<State> lockedState(StateFile &file, QString *why) const;
    std::optional<DeviceNumber> choose(const State &state, State *after) const;
    std::optional<DeviceNumber> nextNumber(StateFile &file, State *after, QString *why) const;
    QString usedUp(const State &state) const;

    NumberSource m_source;
    NumberForm m_form;
    QString m_statePath;
    QList<DeviceNumber> m_list; // the list's values, in order
    QByteArray m_listSha256;    // of the list file's bytes, in lower-case hexadecimal
    qint64 m_listLines = 0;     // the list file's lines, values or not
    std::mutex m_mutex;         // one take at a time in this process; the lock file for the others
};

// The state file a station keeps beside its log when none is named:
// "line-a.csv" gives "line-a.numbers" in the same folder.
QString defaultNumberStatePath(const QString &logPath);
