#include "app/Program.h"
#include "cli/FlashCommand.h"
#include "cli/PortResult.h"
#include "serial/PortResolver.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char Usage[] = "Usage: tarvik-downloader [--log FILE]\n"
                     "       tarvik-downloader flash --port PORT... --file FIRMWARE [--check] [--log FILE]\n"
                     "\n"
                     "Without a command the program opens its windows; --log FILE appends a CSV line\n"
                     "per download and per version check to FILE. 'tarvik-downloader flash --help'\n"
                     "tells how to flash from the command line.\n";

// A program started with standard output or error closed (`>&-`) would get
// the production log as descriptor 1 or 2, and print its summary into it.
void keepStandardDescriptorsTaken()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) < 0) {
            const int opened = ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != descriptor) {
                ::dup2(opened, descriptor);
                ::close(opened);
            }
        }
    }
}

QStringList argumentsOf(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

} // namespace

int main(int argc, char *argv[])
{
    keepStandardDescriptorsTaken();
    // A reader of the output that goes away (`| head -1`), or a log that is a
    // pipe whose collector ended, or a file size limit, is a failed write the
    // program reports, never a signal that ends it while a device takes its
    // image.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    // The command line runs without a display: no QApplication, no platform.
    if (argc > 1 && std::strcmp(argv[1], "flash") == 0)
        return runFlashCommand(argc, argv);

    // The windows' arguments are read before any window, and before a
    // display is needed to tell a mistyped option.
    const Program::Arguments arguments = Program::readArguments(argumentsOf(argc, argv));
    switch (arguments.kind) {
    case Program::Arguments::Kind::Help:
        std::fputs(Usage, stdout);
        return 0;
    case Program::Arguments::Kind::Version:
        std::printf("tarvik-downloader %s\n", TARVIK_VERSION);
        return 0;
    case Program::Arguments::Kind::Error:
        std::fprintf(stderr, "tarvik-downloader: %s; try 'tarvik-downloader --help'\n", qPrintable(arguments.error));
        return ExitStatus::Usage;
    case Program::Arguments::Kind::Windows:
        break;
    }

    QApplication application(argc, argv);
    Program program(std::make_shared<DevicePortResolver>());
    if (!arguments.logPath.isEmpty() && !program.openProductionLog(arguments.logPath))
        return ExitStatus::FileUnusable;
    program.start();
    return program.exec();
}
