// parseFlashArguments on any argument list a script could pass: it never
// fails to decide, what it accepts is a valid request, and reading that
// request written out again gives the same request.

#include "fuzz/Check.h"

#include "cli/FlashRequest.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The arguments, separated by NUL bytes as the system hands them over.
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QStringList arguments;
    if (!bytes.isEmpty()) {
        for (const QByteArray &argument : bytes.split('\0'))
            arguments.append(QString::fromUtf8(argument));
    }
    const ParsedCommandLine parsed = parseFlashArguments(arguments);

    if (parsed.kind == ParsedCommandLine::Kind::Error) {
        FUZZ_CHECK(!parsed.error.isEmpty());
        FUZZ_CHECK(!parsed.error.contains(u'\n'));
        return 0;
    }
    if (parsed.kind != ParsedCommandLine::Kind::Flash)
        return 0;

    const FlashRequest &request = parsed.request;
    FUZZ_CHECK(!request.ports.isEmpty());
    FUZZ_CHECK(!request.firmwarePath.isEmpty());
    QStringList written;
    for (qsizetype i = 0; i < request.ports.size(); ++i) {
        const PortSpec &port = request.ports.at(i);
        if (port.number > 0) {
            FUZZ_CHECK(port.number <= 16 && port.path.isEmpty());
        } else {
            FUZZ_CHECK(port.number == 0 && port.path.startsWith(u'/'));
        }
        for (qsizetype j = 0; j < i; ++j)
            FUZZ_CHECK(!(request.ports.at(j) == port));
        written << QStringLiteral("--port") << port.label();
    }
    written << QStringLiteral("--file") << request.firmwarePath;
    if (request.check)
        written << QStringLiteral("--check");
    if (!request.logPath.isEmpty())
        written << QStringLiteral("--log") << request.logPath;

    const ParsedCommandLine again = parseFlashArguments(written);
    FUZZ_CHECK(again.kind == ParsedCommandLine::Kind::Flash);
    FUZZ_CHECK(again.request.ports == request.ports);
    FUZZ_CHECK(again.request.firmwarePath == request.firmwarePath);
    FUZZ_CHECK(again.request.check == request.check);
    FUZZ_CHECK(again.request.logPath == request.logPath);
    return 0;
}
