#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// The number state's file as the system holds it: the lock that every
// station drawing from one state takes, reading the state whole, and
// replacing it whole. Every call that can fail says why in the system's own
// words.
//
// One object is one locked visit: lock, read, perhaps replace, unlock (the
// destructor unlocks what is still locked). Use it from one thread.
class StateFile
{
public:
    // A take holds the lock for a few milliseconds; this is far beyond it.
    static constexpr int LockPatienceMs = 5000;

    explicit StateFile(const QString &path);
    ~StateFile();
    StateFile(const StateFile &) = delete;
    StateFile &operator=(const StateFile &) = delete;

    // Waits for the exclusive lock on `<state>.lock`, a file beside the
    // state that is created when missing and never replaced or removed, so
    // that every station (another process, another machine on a share, or
    // another supply in this process) locks the same file. A holder that
    // dies, is killed or loses its power gives the lock up with it. A
    // holder that stays on it (a station stopped in a debugger, a share
    // that no longer answers) is waited for LockPatienceMs at most: the
    // device in front of this slot then goes without a number, and the
    // station can still be stopped.
    bool lock(QString *reason);
    void unlock();

    // The state file's bytes. Nothing when it cannot be read; `missing`
    // then says whether it simply does not exist (and `reason` is left as
    // it was), which is no failure for a state that has never been written.
    std::optional<QByteArray> read(bool *missing, QString *reason);

    // Puts `bytes` in place of the state in one step that neither a kill nor
    // a power cut can split: they are written to `<state>.new` beside it,
    // flushed to the disk, renamed over the state, and the rename flushed
    // too. The file then holds the old state or the new one, never a part
    // of either; on a failure it holds the old one.
    bool replace(const QByteArray &bytes, QString *reason);

private:
    // Why lock() gave up on a holder that stayed on the lock.
    static QString heldTooLong(const QString &lockPath);

    QString m_path;
    qintptr m_lock = -1; // the lock file's descriptor or Windows HANDLE while locked
};
