#include "numbers/NumberedImage.h"

// Filled in by the work on the image's records.
std::optional<NumberedImage> NumberedImage::prepare(const QByteArray &, const NumberForm &, QString *refusal)
{
    if (refusal)
        *refusal = QStringLiteral("not built yet");
    return std::nullopt;
}

QByteArray NumberedImage::stamped(QByteArrayView) const
{
    return {};
}

QByteArray NumberedImage::numberRecords(QByteArrayView) const
{
    return {};
}
