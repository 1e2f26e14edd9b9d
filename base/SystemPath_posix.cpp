#include "base/SystemPath.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdlib>
#include <unistd.h>

QStringList systemArguments(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(systemTextFromBytes(argv[i]));
    return arguments;
}

SystemPath::SystemPath(const QString &path)
    : m_path(path)
    , m_bytes(systemBytesFromText(path))
{}

const char *SystemPath::name() const
{
    return m_bytes.constData();
}

SystemPath::~SystemPath()
{
    if (m_folder.isEmpty())
        return;
    if (!m_link.isEmpty())
        ::unlink(m_link.constData());
    ::rmdir(m_folder.constData());
}

QString SystemPath::qtName()
{
    if (QFile::encodeName(m_path) == m_bytes)
        return m_path;
    if (m_folder.isEmpty()) {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/tarvik-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            return m_path; // Qt will say it cannot open it
        m_folder = pattern;
    }
    const QByteArray name = "tty-" + QCryptographicHash::hash(m_bytes, QCryptographicHash::Sha1).toHex().left(16);
    if (m_link.isEmpty()) {
        const QByteArray link = m_folder + "/" + name;
        if (::symlink(m_bytes.constData(), link.constData()) != 0)
            return m_path;
        m_link = link;
    }
    return QFile::decodeName(m_link);
}
