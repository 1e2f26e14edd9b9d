#pragma once

#include "support/MessageBoxCatcher.h"

#include "app/Program.h"
#include "serial/PortResolver.h"
#include "sim/SimulatedDevice.h"

#include <memory>

class Form1;
class Form2;

// The program with a simulated device on port 1, its message boxes answered.
struct SimFixture
{
    static constexpr int RealisticLatencyMs = 20;

    SimFixture();
    ~SimFixture();

    // Starts the program on the connection window.
    void start();
    Form2 &form2();
    Form1 *form1();

    // Clicks "Tessel Download"; the probe runs inside the click and has ended
    // when this returns.
    void pressTesselDownload();
    // Starts the program and probes until the downloader window has its port
    // open; fails the test otherwise.
    Form1 &openDownloaderWindow();
    // The same without the probe: the rate is taken from the device.
    Form1 &loadDownloaderWindow();
    // Loads a firmware file into the downloader window and checks it passed.
    void loadFirmware(const QByteArray &text);
    // The bytes of the example firmware shipped in examples/.
    static QByteArray exampleFirmware();
    // A long example, generated at build time: more wire time than 12 ticks.
    static QByteArray longFirmware();

    SimulatedDevice device;
    std::shared_ptr<FixedPortResolver> resolver = std::make_shared<FixedPortResolver>();
    std::unique_ptr<Program> program;
    MessageBoxCatcher boxes;
};

// True when every window of the program has closed: the program would end.
bool noWindowLeft();

// The controls of `window` that a screen reader would announce without a
// name: buttons, boxes, lists and labels (a label that shows nothing yet
// without a description of what it is for).
QStringList controlsWithoutAccessibleName(QWidget *window);

// Writes a file into a temporary directory that lives as long as the test run.
QString writeTempFile(const QString &name, const QByteArray &bytes);
