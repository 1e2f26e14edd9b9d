#include "engine/FirmwareFile.h"

#include <QFile>

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

    qsizetype lineStart = 0;
    bool firstLine = true;
    while (lineStart < bytes.size()) {
        qsizetype lineEnd = bytes.indexOf(CR, lineStart);
        qsizetype next;
        if (lineEnd < 0) {
            lineEnd = bytes.size();
            next = lineEnd;
        } else {
            next = lineEnd + 1;
            if (next < bytes.size() && bytes[next] == LF)
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

std::optional<QByteArray> readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

} // namespace FirmwareFile
