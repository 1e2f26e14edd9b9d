#include "support/SimFixture.h"

#include "ui/Module1.h"
#include "connect/Form2.h"
#include "downloader/Form1.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

SimFixture::SimFixture()
{
    // A real device behind a USB adapter answers tens of milliseconds late.
    device.setReplyLatency(RealisticLatencyMs);
    resolver->assign(1, device.portPath());
}

SimFixture::~SimFixture()
{
    program.reset();
}

void SimFixture::start()
{
    program = std::make_unique<Program>(resolver);
    program->start();
}

Form2 &SimFixture::form2()
{
    return program->connectionWindow();
}

Form1 *SimFixture::form1()
{
    return program->downloaderWindow();
}

void SimFixture::pressTesselDownload()
{
    QTest::mouseClick(form2().Command1, Qt::LeftButton);
}

Form1 &SimFixture::openDownloaderWindow()
{
    start();
    pressTesselDownload();
    Form1 *window = form1();
    if (!window || !window->isVisible() || !window->MSComm1.PortOpen())
        qFatal("the probe did not hand over to the downloader window");
    return *window;
}

Form1 &SimFixture::loadDownloaderWindow()
{
    start();
    Module1::BaudRate = QString::number(device.ownRate());
    program->handOffToDownloader();
    return *form1();
}

void SimFixture::loadFirmware(const QByteArray &text)
{
    form1()->loadFirmwareFile(writeTempFile(QStringLiteral("firmware.txt"), text));
    if (form1()->Label3[0]->text() != QLatin1String("Pass!"))
        qFatal("the firmware file did not pass its check");
}

namespace {
QByteArray readWhole(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}
} // namespace

QByteArray SimFixture::exampleFirmware()
{
    return readWhole(qEnvironmentVariable("TARVIK_SOURCE_DIR") + QStringLiteral("/examples/firmware-example.txt"));
}

QByteArray SimFixture::longFirmware()
{
    return readWhole(qEnvironmentVariable("TARVIK_BUILD_DIR") + QStringLiteral("/firmware-long.txt"));
}

bool noWindowLeft()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::none_of(windows.begin(), windows.end(), [](const QWidget *window) { return window->isVisible(); });
}

QStringList controlsWithoutAccessibleName(QWidget *window)
{
    QStringList unnamed;
    const QList<QWidget *> controls = window->findChildren<QWidget *>();
    for (QWidget *control : controls) {
        const bool announced = qobject_cast<QAbstractButton *>(control) || qobject_cast<QLineEdit *>(control)
                               || qobject_cast<QComboBox *>(control) || qobject_cast<QLabel *>(control);
        if (!announced)
            continue;
        // A label is named by its caption. An indicator that shows nothing yet
        // has nothing to announce, so it only has to say what it is for.
        const auto *label = qobject_cast<QLabel *>(control);
        const QAccessible::Text needed =
            label && label->text().isEmpty() ? QAccessible::Description : QAccessible::Name;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        if (!accessible || accessible->text(needed).isEmpty())
            unnamed << QString::fromLatin1(control->metaObject()->className());
    }
    return unnamed;
}

QString writeTempFile(const QString &name, const QByteArray &bytes)
{
    static QTemporaryDir directory;
    const QString path = directory.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}
