#pragma once

#include "base/Guard.h"

#include <QString>
#include <QStringList>

#include <exception>
#include <memory>

class Form1;
class Form2;
class PortResolver;
class ProductionLog;

// The frame the two windows hang on: their one program-wide instance each,
// the start on the connection window, the hand-off to the downloader window,
// and the default handling of failures no procedure took.
class Program
{
public:
    // The windows open port numbers through `resolver`: the machine's own
    // ports in the shipped program, a simulated device in tests and the demo.
    explicit Program(std::shared_ptr<const PortResolver> resolver);
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    static Program &instance();

    // Keeps the production log at `path`: a line per download and per version
    // query. A log that cannot be opened is reported in a message box before
    // any window shows; then false. A line that cannot be written later is
    // reported in a box as it happens.
    bool openProductionLog(const QString &path);

    // What the program's arguments ask of the windows, read before any
    // window (or display) exists: `tarvik-downloader [--log FILE]`, --help,
    // --version. Pure.
    struct Arguments
    {
        enum class Kind { Windows, Help, Version, Error };
        Kind kind = Kind::Windows;
        QString logPath; // empty: no production log
        QString error;   // for Error: one line, without the program's name
    };
    // `arguments` without the program's name.
    static Arguments readArguments(const QStringList &arguments);

    // Creates the connection window, runs its load and shows it.
    void start();
    // Runs the event loop until the last window has closed; non-zero after
    // the default handling ended the program.
    int exec();

    Form2 &connectionWindow();
    // The downloader window, or nullptr before its first hand-off.
    Form1 *downloaderWindow() const { return m_form1.get(); }

    // Creates the downloader window if needed, loads and shows it, then
    // closes the connection window. A failing load reaches the caller; the
    // downloader window then stays hidden and the connection window open.
    void handOffToDownloader();

    // Reports a failure no procedure handled, closes both windows' ports
    // through their unload and ends the program with a non-zero status.
    void defaultHandling(int number, const QString &description);
    bool failed() const { return m_failed; }

private:
    std::shared_ptr<const PortResolver> m_resolver;
    std::unique_ptr<Form2> m_form2;
    std::unique_ptr<Form1> m_form1;
    std::unique_ptr<ProductionLog> m_log;
    QString m_logPath;
    bool m_failed = false;
    bool m_running = false; // exec() runs the program's event loop
};
