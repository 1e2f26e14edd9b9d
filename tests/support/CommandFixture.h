#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// Where the end-to-end tests of the command line find the built programs and
// the example firmware, as CTest sets them.
inline QString buildDir()
{
    return qEnvironmentVariable("TARVIK_BUILD_DIR");
}

inline QString exampleFirmware()
{
    return qEnvironmentVariable("TARVIK_SOURCE_DIR") + QStringLiteral("/examples/firmware-example.txt");
}

// The whole file, or nothing when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One production log line (without its line end) split into its cells, the
// CSV quoting undone: what a spreadsheet shows.
inline QList<QByteArray> csvCells(const QByteArray &line)
{
    QList<QByteArray> cells{{}};
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line.at(i);
        if (quoted && c == '"' && i + 1 < line.size() && line.at(i + 1) == '"') {
            cells.last() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            cells.append(QByteArray());
        } else {
            cells.last() += c;
        }
    }
    return cells;
}

// A cell read back to the bytes it stands for, as the README tells: a first
// single quote taken away, then the escapes \\, \r, \n and \xNN undone.
inline QByteArray readBackCell(QByteArray cell)
{
    if (cell.startsWith('\''))
        cell.remove(0, 1);
    QByteArray bytes;
    for (qsizetype i = 0; i < cell.size(); ++i) {
        if (cell.at(i) != '\\' || i + 1 == cell.size()) {
            bytes += cell.at(i);
            continue;
        }
        const char escape = cell.at(++i);
        if (escape == 'r') {
            bytes += '\r';
        } else if (escape == 'n') {
            bytes += '\n';
        } else if (escape == 'x') {
            bytes += char(cell.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            bytes += escape;
        }
    }
    return bytes;
}

// True when no cell would start a formula in a spreadsheet.
inline bool noCellOpensAFormula(const QList<QByteArray> &cells)
{
    for (const QByteArray &cell : cells) {
        if (!cell.isEmpty() && QByteArrayView("=+-@\t\r").contains(cell.front()))
            return false;
    }
    return true;
}

// The production log's records after its header, each split into cells.
inline QList<QList<QByteArray>> logRows(const QString &path)
{
    QList<QList<QByteArray>> rows;
    const QList<QByteArray> lines = readFile(path).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!lines.at(i).isEmpty())
            rows.append(csvCells(lines.at(i)));
    }
    return rows;
}

// How a run of the program ended, and what it printed.
struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// The program as an operator's script starts it: no display, no platform.
inline void startProgram(QProcess &process, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    process.setProcessEnvironment(environment);
    process.start(buildDir() + QStringLiteral("/tarvik-downloader"), arguments);
    if (!process.waitForStarted(5000))
        qFatal("tarvik-downloader did not start");
}

// What the program printed, to read beside an unexpected status.
inline QByteArray printed(const Run &run)
{
    return "status " + QByteArray::number(run.status) + "\nstdout:\n" + run.out + "stderr:\n" + run.err;
}
