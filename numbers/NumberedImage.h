#pragma once

#include "numbers/NumberForm.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The firmware image with a device's own number in it. The image's own
// records stay exactly as they are; the number goes in as a data record of
// its own (after an extended linear address record where its address needs
// one, and split in two where it crosses a 64 KiB boundary), just before the
// end-of-file record, checksums right.
//
// Checked once at the start, so that no device is ever sent an image that
// could not be numbered: everything after the marker line must be Intel HEX
// records (blank lines aside), with an end-of-file record, and none of the
// image's own data may lie on the number's bytes, since a firmware byte must
// never be overwritten without anyone noticing.
class NumberedImage
{
public:
    // `image` as it is sent (FirmwareFile::parse's text: the marker line,
    // then every line followed by one CR). On a refusal returns nothing and
    // says why in `refusal`, naming the number's address (and the line of
    // the image, where one is at fault).
    static std::optional<NumberedImage> prepare(const QByteArray &image, const NumberForm &form, QString *refusal);

    // The image with `numberBytes` (form.bytes(value)) at the form's address.
    // Bytes of any other count than the form's width give an empty result:
    // only the width was checked against the image's own data.
    QByteArray stamped(QByteArrayView numberBytes) const;

    // The records that carry the number, each followed by CR, as stamped()
    // puts them in.
    QByteArray numberRecords(QByteArrayView numberBytes) const;

private:
    NumberedImage() = default;

    QByteArray m_before; // up to the end-of-file record
    QByteArray m_after;  // the end-of-file record and whatever follows it
    NumberForm m_form;
    // The extended linear address record that goes ahead of the number's
    // data, empty where the base in force at the end-of-file record already
    // is the number's; and the one ahead of the second data record where the
    // number crosses a 64 KiB boundary.
    QByteArray m_baseRecord;
    QByteArray m_nextBaseRecord;
    int m_firstLength = 0; // the number's bytes below the 64 KiB boundary
};
