#include "station/StationProfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <set>

namespace {

// A profile is a screenful of lines; anything far bigger was named by mistake.
constexpr qint64 MaxProfileBytes = 64 * 1024;

QString absoluteFrom(const QDir &folder, const QString &path)
{
    return path.isEmpty() ? path : QDir::cleanPath(folder.absoluteFilePath(path));
}

QString relativeTo(const QDir &folder, const QString &path)
{
    if (path.isEmpty())
        return path;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QString relative = folder.relativeFilePath(absolute);
    // Only what lies under the profile's folder travels with it.
    return relative.startsWith(QStringLiteral("..")) || QDir::isAbsolutePath(relative) ? absolute : relative;
}

bool isHexDigest(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    }
    return true;
}

} // namespace

namespace StationProfile {

std::variant<StationPlan, QString> read(const QString &path)
{
    QFile file(path);
    const QFileInfo info(path);
    if (!info.isFile())
        return QStringLiteral("the profile %1 is not a file").arg(path);
    if (info.size() > MaxProfileBytes)
        return QStringLiteral("the profile %1 is too large to be a station profile").arg(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the profile %1: %2").arg(path, file.errorString());
    const QByteArray bytes = file.read(MaxProfileBytes + 1);
    const QDir folder = info.absoluteDir();

    StationPlan plan;
    NumberPlan numbers;
    bool anyNumber = false;
    std::set<QString> seen;
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype index = 0; index < lines.size(); ++index) {
        const QString line = QString::fromUtf8(lines[index]).trimmed();
        const auto fault = [&](const QString &what) {
            return QStringLiteral("the profile %1, line %2: %3").arg(path).arg(index + 1).arg(what);
        };
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            return fault(QStringLiteral("\"%1\" is not \"key = value\"").arg(line));
        const QString key = line.first(equals).trimmed();
        const QString value = line.sliced(equals + 1).trimmed();
        if (key != u"port" && !seen.insert(key).second)
            return fault(QStringLiteral("\"%1\" is given twice").arg(key));
        if (value.isEmpty())
            return fault(QStringLiteral("\"%1\" has no value").arg(key));
        if (key == u"firmware") {
            plan.firmwarePath = absoluteFrom(folder, value);
        } else if (key == u"firmware-sha256") {
            if (!isHexDigest(value))
                return fault(QStringLiteral("the SHA-256 \"%1\" is not 64 hexadecimal digits").arg(value));
            plan.firmwareSha256 = value.toLower().toLatin1();
        } else if (key == u"port") {
            plan.ports.append(value);
        } else if (key == u"check") {
            if (value != u"yes" && value != u"no")
                return fault(QStringLiteral("check is \"yes\" or \"no\", not \"%1\"").arg(value));
            plan.check = value == u"yes";
        } else if (key == u"log") {
            plan.logPath = absoluteFrom(folder, value);
        } else if (key == u"number-at") {
            numbers.address = value;
            anyNumber = true;
        } else if (key == u"number-form") {
            numbers.form = value;
            anyNumber = true;
        } else if (key == u"number-counter") {
            numbers.counter = value;
            anyNumber = true;
        } else if (key == u"number-list") {
            numbers.listPath = absoluteFrom(folder, value);
            anyNumber = true;
        } else if (key == u"number-state") {
            numbers.statePath = absoluteFrom(folder, value);
            anyNumber = true;
        } else {
            return fault(QStringLiteral("\"%1\" is not a key of a station profile").arg(key));
        }
    }
    const auto missing = [&](const QString &what) {
        return QStringLiteral("the profile %1 names no %2").arg(path, what);
    };
    if (plan.firmwarePath.isEmpty())
        return missing(QStringLiteral("firmware file (firmware = FILE)"));
    if (plan.firmwareSha256.isEmpty())
        return missing(QStringLiteral("firmware digest (firmware-sha256 = DIGEST)"));
    if (plan.ports.isEmpty())
        return missing(QStringLiteral("port (port = PORT)"));
    if (anyNumber) {
        if (numbers.address.isEmpty() || numbers.form.isEmpty())
            return missing(QStringLiteral("place for the device numbers (number-at and number-form)"));
        if (numbers.counter.isEmpty() == numbers.listPath.isEmpty())
            return QStringLiteral("the profile %1 must name one source of device numbers: number-counter or "
                                  "number-list")
                .arg(path);
        plan.numbers = numbers;
    }
    return plan;
}

QByteArray text(const StationPlan &plan, const QString &path)
{
    const QDir folder = QFileInfo(path).absoluteDir();
    QString out = QStringLiteral("# Tarvik Station profile. The station runs it as it stands and refuses a firmware\n"
                                 "# file whose SHA-256 differs: after a new build, make a new profile. Paths are\n"
                                 "# relative to this file's folder.\n");
    const auto put = [&out](const QString &key, const QString &value) {
        out += QStringLiteral("%1 = %2\n").arg(key, value);
    };
    put(QStringLiteral("firmware"), relativeTo(folder, plan.firmwarePath));
    put(QStringLiteral("firmware-sha256"), QString::fromLatin1(plan.firmwareSha256));
    for (const QString &port : plan.ports)
        put(QStringLiteral("port"), port);
    put(QStringLiteral("check"), plan.check ? QStringLiteral("yes") : QStringLiteral("no"));
    if (!plan.logPath.isEmpty())
        put(QStringLiteral("log"), relativeTo(folder, plan.logPath));
    if (plan.numbers) {
        put(QStringLiteral("number-at"), plan.numbers->address);
        put(QStringLiteral("number-form"), plan.numbers->form);
        if (!plan.numbers->counter.isEmpty())
            put(QStringLiteral("number-counter"), plan.numbers->counter);
        if (!plan.numbers->listPath.isEmpty())
            put(QStringLiteral("number-list"), relativeTo(folder, plan.numbers->listPath));
        if (!plan.numbers->statePath.isEmpty())
            put(QStringLiteral("number-state"), relativeTo(folder, plan.numbers->statePath));
    }
    return out.toUtf8();
}

bool write(const StationPlan &plan, const QString &path, QString *why)
{
    // An earlier profile is made anew after a new build; any other file
    // named by a slip of the hand (the production log, the firmware, the
    // numbers' state) is kept, since the profile would replace it whole.
    const QFileInfo existing(path);
    if (existing.exists() && existing.size() > 0) {
        const std::variant<StationPlan, QString> earlier = read(path);
        if (const QString *notAProfile = std::get_if<QString>(&earlier)) {
            *why = QStringLiteral("will not replace %1 with a profile: it is not a station profile (%2)")
                       .arg(path, *notAProfile);
            return false;
        }
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *why = QStringLiteral("cannot write the profile %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = text(plan, path);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        *why = QStringLiteral("cannot write the profile %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace StationProfile
