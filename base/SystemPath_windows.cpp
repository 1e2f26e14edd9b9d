#include "base/SystemPath.h"

#include <QDir>

#include <windows.h>

QStringList systemArguments(int argc, char *argv[])
{
    // `argv` is in the ANSI code page, which cannot spell every file name;
    // the command line itself is UTF-16. Should the two ever be split
    // differently (quoting rules have changed between runtimes), the
    // runtime's own split is the one the program was started with.
    int count = 0;
    wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    QStringList arguments;
    if (wide && count == argc) {
        for (int i = 1; i < count; ++i)
            arguments.append(QString::fromWCharArray(wide[i]));
    } else {
        for (int i = 1; i < argc; ++i)
            arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    ::LocalFree(wide);
    return arguments;
}

SystemPath::SystemPath(const QString &path)
    : m_path(path)
{}

SystemPath::~SystemPath() = default;

std::wstring SystemPath::wideName() const
{
    return QDir::toNativeSeparators(m_path).toStdWString();
}

QString SystemPath::qtName()
{
    return m_path;
}
