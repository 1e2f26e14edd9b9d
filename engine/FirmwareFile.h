#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Reading a firmware text file: its lines re-joined with carriage returns, as
// the device takes them, and the marker check on the first line.
namespace FirmwareFile {

// The first line's first four characters followed by its last four must read
// this.
inline constexpr char Marker[] = ":-:::::-";

struct Image
{
    QByteArray text;     // every line followed by one CR
    bool passed = false; // the first line passed the marker check
};

// A line ends at CR LF, at CR or at a lone LF (a marker line from echo ahead
// of objcopy's CR LF records must pass), and a last line without a terminator
// is still a line. Every other byte is kept exactly.
Image parse(QByteArrayView bytes);

bool markerMatches(QByteArrayView firstLine);

// The largest firmware file taken. Real images are a few hundred kilobytes;
// a bigger "file" is a mistake (a disk image, /dev/zero), not firmware.
inline constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

// The whole file, or nothing when it cannot be opened or read, is not a
// regular file or is larger than MaxFileBytes (nothing past the limit is
// read). `reason`, if given, says which in words.
std::optional<QByteArray> readBytes(const QString &path, QString *reason = nullptr);

} // namespace FirmwareFile
