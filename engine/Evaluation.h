#pragma once

#include <QByteArray>
#include <QString>

// Which outcome the downloader window shows for its current state: whether a
// file passed its check, what the device sent, and whether a download is
// waiting for its verdict. Tested from the top; the first that fits applies.
enum class Outcome {
    NoUsableFile,     // the file check did not pass: ask for a file
    DownloadPassed,   // a download got exactly "OK!": green "Pass!", both buttons on
    DownloadFailed,   // a download got anything else: "Communication Fail"
    Ready,            // a good file and no download waiting: ready for the next device
};

Outcome evaluate(const QString &fileCheckCaption, const QByteArray &rxBuffer, const QString &pending);
