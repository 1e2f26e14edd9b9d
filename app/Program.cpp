#include "app/Program.h"

#include "ui/Module1.h"

#include "connect/Form2.h"
#include "downloader/Form1.h"
#include "base/PrintableBytes.h"
#include "log/ProductionLog.h"
#include "ui/Dialogs.h"

#include <QApplication>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace {
Program *s_instance = nullptr;
}

Program::Program(std::shared_ptr<const PortResolver> resolver)
    : m_resolver(std::move(resolver))
{
    Q_ASSERT(!s_instance);
    s_instance = this;
    // A fresh start: the shared values at their initial values.
    Module1::PortNumber = 0;
    Module1::BaudRate.clear();
    QApplication::setQuitOnLastWindowClosed(true);
    Guard::setDefaultHandling([](int number, const QString &description) {
        Program::instance().defaultHandling(number, description);
    });
}

Program::~Program()
{
    m_form1.reset();
    m_form2.reset();
    Guard::setDefaultHandling(nullptr);
    s_instance = nullptr;
}

Program &Program::instance()
{
    Q_ASSERT(s_instance);
    return *s_instance;
}

Program::Arguments Program::readArguments(const QStringList &arguments)
{
    const auto refused = [](const QString &message) {
        Arguments read;
        read.kind = Arguments::Kind::Error;
        read.error = message;
        return read;
    };
    // What the operator typed, on one line whatever it holds.
    const auto shown = [](const QString &text) { return QString::fromLatin1(printableBytes(text.toUtf8())); };
    Arguments read;
    bool logGiven = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QStringLiteral("--log") || argument.startsWith(QStringLiteral("--log="))) {
            QString value;
            if (argument.startsWith(QStringLiteral("--log=")))
                value = argument.sliced(6);
            else if (i + 1 < arguments.size())
                value = arguments.at(++i);
            if (value.isEmpty())
                return refused(QStringLiteral("--log needs a value"));
            if (logGiven)
                return refused(QStringLiteral("--log is given more than once"));
            logGiven = true;
            read.logPath = value;
        } else if (argument == QStringLiteral("--help") || argument == QStringLiteral("-h")) {
            read.kind = Arguments::Kind::Help;
        } else if (argument == QStringLiteral("--version") || argument == QStringLiteral("-V")) {
            if (read.kind != Arguments::Kind::Help)
                read.kind = Arguments::Kind::Version;
        } else if (argument.startsWith(u'-')) {
            return refused(QStringLiteral("unknown option '%1'").arg(shown(argument)));
        } else {
            return refused(QStringLiteral("unexpected argument '%1'").arg(shown(argument)));
        }
    }
    return read;
}

bool Program::openProductionLog(const QString &path)
{
    QString reason;
    qint64 fragment = 0;
    m_log = ProductionLog::open(path, &reason, &fragment);
    if (!m_log) {
        std::fprintf(stderr, "tarvik-downloader: %s\n", qPrintable(reason));
        Dialogs::showInformation(nullptr, reason);
        return false;
    }
    m_logPath = path;
    if (fragment > 0) {
        std::fprintf(stderr,
                     "tarvik-downloader: the log %s ended in an unfinished line of %lld bytes; it is kept, closed "
                     "with a line end\n",
                     printableBytes(QFile::encodeName(path)).constData(), static_cast<long long>(fragment));
    }
    return true;
}

void Program::start()
{
    m_form2 = std::make_unique<Form2>(*m_resolver);
    m_form2->HandOff = [this] { handOffToDownloader(); };
    guard([this] { m_form2->Form_Load(); });
    m_form2->show();
}

int Program::exec()
{
    m_running = true;
    const int status = QApplication::exec();
    m_running = false;
    return m_failed ? 1 : status;
}

Form2 &Program::connectionWindow()
{
    Q_ASSERT(m_form2);
    return *m_form2;
}

void Program::handOffToDownloader()
{
    if (!m_form1) {
        m_form1 = std::make_unique<Form1>(*m_resolver);
        if (m_log) {
            m_form1->AttemptLogged = [this](const AttemptRecord &record) {
                QString reason;
                if (m_log->append(record, &reason))
                    return;
                // The operator is at the window, not at a terminal; what the
                // window shows of the attempt stays as it is.
                const QString text = QStringLiteral("The line of this attempt (%1) was not written to the production "
                                                    "log %2: %3")
                                         .arg(record.result, m_logPath, reason);
                std::fprintf(stderr, "tarvik-downloader: %s\n", qPrintable(text));
                Dialogs::showInformation(m_form1.get(), text);
            };
        }
    }
    // The load opens the downloader window's port; only a window that has
    // loaded is shown, and only then does the connection window go.
    m_form1->Form_Load();
    m_form1->show();
    m_form2->close();
}

void Program::defaultHandling(int number, const QString &description)
{
    if (m_failed)
        return; // already reporting and ending
    m_failed = true;
    std::fprintf(stderr, "tarvik-downloader: failure %d: %s\n", number, qPrintable(description));

    // The windows are closed below by this handling, not by the operator:
    // the program ends with the failure's status, not through the last
    // window's close.
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget *parent = QApplication::activeWindow();
    Dialogs::showInformation(parent, QStringLiteral("Error %1: %2").arg(number).arg(description));

    if (m_form1)
        m_form1->close();
    if (m_form2)
        m_form2->close();
    // Ends the event loop that runs the program; an event loop stays ended
    // for the rest of the process, so only this one is asked to end.
    if (m_running)
        QCoreApplication::exit(1);
}
