#pragma once

#include <QString>
#include <QtGlobal>

// The system's own words for an error number (errno, or what Windows'
// GetLastError gives), without a closing full stop, so a reason can go on
// after it.
QString systemErrorText(qint64 error);
