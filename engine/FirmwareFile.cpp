#include "engine/FirmwareFile.h"

#include "base/SystemPath.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace FirmwareFile {

namespace {
constexpr char CR = '\r';
constexpr char LF = '\n';
} // namespace

bool markerMatches(QByteArrayView firstLine)
{
    // A line shorter than four characters stands for both parts.
    const QByteArrayView head = firstLine.first(std::min<qsizetype>(4, firstLine.size()));
    const QByteArrayView tail = firstLine.last(std::min<qsizetype>(4, firstLine.size()));
    const QByteArrayView marker(Marker);
    return head.size() + tail.size() == marker.size() && marker.startsWith(head) && marker.endsWith(tail);
}

Image parse(QByteArrayView bytes)
{
    Image image;
    image.text.reserve(bytes.size() + 1);

    const auto endsLine = [](char c) { return c == CR || c == LF; };
    qsizetype lineStart = 0;
    bool firstLine = true;
    while (lineStart < bytes.size()) {
        const auto end = std::find_if(bytes.begin() + lineStart, bytes.end(), endsLine);
        const qsizetype lineEnd = end - bytes.begin();
        qsizetype next = lineEnd;
        if (next < bytes.size()) {
            // CR LF is one ending, not a line end followed by an empty line.
            if (bytes[next] == CR && next + 1 < bytes.size() && bytes[next + 1] == LF)
                ++next;
            ++next;
        }
        const QByteArrayView line = bytes.sliced(lineStart, lineEnd - lineStart);
        if (firstLine) {
            image.passed = markerMatches(line);
            firstLine = false;
        }
        image.text.append(line);
        image.text.append(CR);
        lineStart = next;
    }
    return image;
}

std::optional<QByteArray> readBytes(const QString &path, QString *reason)
{
    const auto refuse = [reason](const QString &why) -> std::optional<QByteArray> {
        if (reason)
            *reason = why;
        return std::nullopt;
    };
    SystemPath systemPath(path);
    const QString name = systemPath.qtName();
    // Only a regular file is read: a FIFO would wait for a writer, a device
    // such as /dev/zero never ends.
    const QFileInfo info(name);
    if (!info.exists())
        return refuse(QStringLiteral("there is no such file"));
    if (!info.isFile())
        return refuse(info.isDir() ? QStringLiteral("it is a folder") : QStringLiteral("it is not a regular file"));
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString());
    // Windows' device names (NUL, CON, COM3) are in every folder and may pass
    // for files until opened; a device or a pipe is what it is once open.
    if (file.isSequential())
        return refuse(QStringLiteral("it is not a regular file"));
    // One byte past the limit tells a file that grew since it was looked at.
    QByteArray bytes = file.read(MaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return refuse(file.errorString());
    if (bytes.size() > MaxFileBytes)
        return refuse(QStringLiteral("it is larger than %1 MiB").arg(MaxFileBytes / (1024 * 1024)));
    return bytes;
}

} // namespace FirmwareFile
