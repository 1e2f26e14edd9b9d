#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// File names on this system are bytes, not text: a device path or a firmware
// file may hold bytes that are no UTF-8. Such bytes travel inside a QString
// as the code points U+DC80 to U+DCFF (lone surrogates, which no valid text
// holds), so a name read from the command line comes back to the system
// exactly as it was given.
QString systemTextFromBytes(QByteArrayView bytes);
QByteArray systemBytesFromText(const QString &text);

// One path as the system and as Qt can take it.
class SystemPath
{
public:
    explicit SystemPath(const QString &path);
    ~SystemPath();
    SystemPath(const SystemPath &) = delete;
    SystemPath &operator=(const SystemPath &) = delete;

    // The path's bytes, for the system's own calls.
    const char *name() const { return m_bytes.constData(); }
    // A name Qt opens the same file by. Qt turns names into bytes as UTF-8,
    // so a path that is not UTF-8 gets a symbolic link of its own, named by
    // the path's hash (the same device gets the same name in every program),
    // in a private folder that lives as long as this object.
    QString qtName();

private:
    QString m_path;
    QByteArray m_bytes;
    QByteArray m_folder;
    QByteArray m_link;
};
