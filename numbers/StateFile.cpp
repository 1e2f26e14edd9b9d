#include "numbers/StateFile.h"

StateFile::StateFile(const QString &path)
    : m_path(path)
{}

StateFile::~StateFile()
{
    unlock();
}

QString StateFile::heldTooLong(const QString &lockPath)
{
    return QStringLiteral("%1: held by another station for over %2 s").arg(lockPath).arg(LockPatienceMs / 1000);
}
