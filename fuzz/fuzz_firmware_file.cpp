// FirmwareFile::parse and FirmwareFile::markerMatches on any bytes, compared
// with a byte-by-byte model of the line rules and checked for the properties
// the download relies on.

#include "fuzz/Check.h"

#include "engine/FirmwareFile.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';

// The text the device gets, one byte at a time: CR or LF ends a line and
// becomes one CR, an LF right after a CR is part of that ending and dropped,
// every other byte belongs to a line; a last line without an ending still
// gets its CR.
QByteArray modelText(QByteArrayView bytes)
{
    QByteArray text;
    bool afterCr = false;
    bool atLineStart = true;
    for (const char c : bytes) {
        if (c == LF && afterCr) {
            afterCr = false;
            continue;
        }
        const bool ending = c == CR || c == LF;
        text.append(ending ? CR : c);
        afterCr = c == CR;
        atLineStart = ending;
    }
    if (!atLineStart)
        text.append(CR);
    return text;
}

// The marker line starts with ":-::" and ends with ":::-".
bool modelMarker(QByteArrayView line)
{
    return line.size() >= 4 && line.startsWith(":-::") && line.endsWith(":::-");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A view on libFuzzer's own buffer: a read past its end is an ASan report.
    const QByteArrayView bytes(data, static_cast<qsizetype>(size));

    FUZZ_CHECK(FirmwareFile::markerMatches(bytes) == modelMarker(bytes));

    const FirmwareFile::Image image = FirmwareFile::parse(bytes);
    const QByteArray &text = image.text;

    // What the device gets: nothing for an empty file, otherwise lines that
    // each end in one CR, never longer than the file plus the added CR.
    FUZZ_CHECK(text.isEmpty() == bytes.isEmpty());
    FUZZ_CHECK(bytes.isEmpty() || text.endsWith(CR));
    FUZZ_CHECK(text.size() <= bytes.size() + 1);
    // Every line end reaches the device as one CR: no LF is left.
    FUZZ_CHECK(!text.contains(LF));
    FUZZ_CHECK(text == modelText(bytes));

    // The check looks at the first line only, up to its CR or LF.
    qsizetype firstEnd = 0;
    while (firstEnd < bytes.size() && bytes[firstEnd] != CR && bytes[firstEnd] != LF)
        ++firstEnd;
    FUZZ_CHECK(image.passed == modelMarker(bytes.first(firstEnd)));
    return 0;
}
