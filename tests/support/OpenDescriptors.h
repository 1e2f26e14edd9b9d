#pragma once

#include <QDir>
#include <QFile>
#include <QString>

// Whether this process holds a descriptor on `path`: a port let go, or not.
// A node that has gone reads "PATH (deleted)".
inline bool descriptorOpenOn(const QString &path)
{
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString &entry : descriptors.entryList(QDir::Files | QDir::System)) {
        if (QFile::symLinkTarget(descriptors.filePath(entry)).startsWith(path))
            return true;
    }
    return false;
}

// This process's descriptor on `path`, or -1.
inline int descriptorOn(const QString &path)
{
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString &entry : descriptors.entryList(QDir::Files | QDir::System)) {
        if (QFile::symLinkTarget(descriptors.filePath(entry)) == path)
            return entry.toInt();
    }
    return -1;
}
