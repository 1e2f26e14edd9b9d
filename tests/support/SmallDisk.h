#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

// A small disk of its own, unmounted when it goes; the test is skipped where
// mounting is not permitted.
class SmallDisk
{
public:
    explicit SmallDisk(const QString &path)
        : m_path(QFile::encodeName(path))
    {
        QDir().mkpath(path);
        m_mounted = ::mount("tarvik-test", m_path.constData(), "tmpfs", 0, "size=128k,mode=0755") == 0;
        m_error = errno;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    QString error() const { return QString::fromLocal8Bit(std::strerror(m_error)); }

    // Fills the disk to its last page with a file of its own.
    QString fill() const
    {
        const QByteArray filler = m_path + "/filler";
        const int descriptor = ::open(filler.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const QByteArray page(4096, 'x');
        while (::write(descriptor, page.constData(), size_t(page.size())) == page.size()) {
        }
        ::close(descriptor);
        return QFile::decodeName(filler);
    }

private:
    QByteArray m_path;
    bool m_mounted = false;
    int m_error = 0;
};
