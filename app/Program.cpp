#include "app/Program.h"

#include "ui/Module1.h"

#include "connect/Form2.h"
#include "downloader/Form1.h"
#include "log/ProductionLog.h"
#include "ui/Dialogs.h"

#include <QApplication>

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

QString Program::logPathArgument(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QStringLiteral("--log") && i + 1 < arguments.size())
            return arguments.at(i + 1);
        if (arguments.at(i).startsWith(QStringLiteral("--log=")))
            return arguments.at(i).sliced(6);
    }
    return {};
}

bool Program::openProductionLog(const QString &path)
{
    QString reason;
    m_log = ProductionLog::open(path, &reason);
    if (!m_log) {
        std::fprintf(stderr, "tarvik-downloader: %s\n", qPrintable(reason));
        Dialogs::showInformation(nullptr, reason);
        return false;
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
                if (!m_log->append(record))
                    std::fputs("tarvik-downloader: a line of the production log could not be written\n", stderr);
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
