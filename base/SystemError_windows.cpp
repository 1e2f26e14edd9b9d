#include "base/SystemError.h"

#include <windows.h>

QString systemErrorText(qint64 error)
{
    wchar_t *text = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, DWORD(error), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString reason = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                : QStringLiteral("system error %1").arg(error);
    ::LocalFree(text);
    if (reason.endsWith(u'.'))
        reason.chop(1);
    return reason;
}
