#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <string>

// File names on this system are bytes, not text: a device path or a firmware
// file may hold bytes that are no UTF-8. Such bytes travel inside a QString
// as the code points U+DC80 to U+DCFF (lone surrogates, which no valid text
// holds), so a name read from the command line comes back to the system
// exactly as it was given.
QString systemTextFromBytes(QByteArrayView bytes);
QByteArray systemBytesFromText(const QString &text);

// The program's arguments after its own name, file names among them exactly
// as the system gave them: on Linux the bytes of `argv`, with the escape
// above; on Windows the command line as typed, in UTF-16, whatever the
// code page.
QStringList systemArguments(int argc, char *argv[]);

// One path as the system and as Qt can take it. Linux names files in bytes,
// Windows in UTF-16: each system's calls take the name in their own form,
// and asking for the other system's form does not link.
class SystemPath
{
public:
    explicit SystemPath(const QString &path);
    ~SystemPath();
    SystemPath(const SystemPath &) = delete;
    SystemPath &operator=(const SystemPath &) = delete;

    // Linux: the path's bytes, for the system's own calls.
    const char *name() const;
    // Windows: the path for the system's wide calls (CreateFileW), with the
    // system's own separators.
    std::wstring wideName() const;
    // A name Qt opens the same file by. On Linux Qt turns names into bytes
    // as UTF-8, so a path that is not UTF-8 gets a symbolic link of its own,
    // named by the path's hash (the same device gets the same name in every
    // program), in a private folder that lives as long as this object. On
    // Windows Qt takes every name as it is.
    QString qtName();

private:
    QString m_path;
    // Linux only: the path's bytes, and its link's folder and name.
    QByteArray m_bytes;
    QByteArray m_folder;
    QByteArray m_link;
};
