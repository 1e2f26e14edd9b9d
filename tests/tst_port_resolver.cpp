// Port numbers on this machine's own ports: which device node a number
// opens, and the port-number box's tool tip that tells it.

#include "connect/Form2.h"
#include "serial/PortResolver.h"

#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

namespace {

// A stand-in /dev and /sys/class/tty side by side in a temporary folder.
class FakeMachine
{
public:
    FakeMachine()
    {
        QDir(m_root.path()).mkpath(QStringLiteral("dev"));
        QDir(m_root.path()).mkpath(QStringLiteral("sys"));
    }

    bool isValid() const { return m_root.isValid(); }
    QString devPath(const QString &name) const { return m_root.filePath("dev/" + name); }
    DevicePortResolver resolver() const
    {
        return DevicePortResolver(m_root.filePath(QStringLiteral("dev")), m_root.filePath(QStringLiteral("sys")));
    }

    // Makes stand-in device nodes: "ttyUSB0" is a plain file, "COM3->ttyUSB0"
    // a symbolic link to ttyUSB0 (which need not exist), and "ttyS0 type 4"
    // a node whose port type the kernel reports as 4.
    void makeNodes(const QStringList &nodes)
    {
        for (const QString &node : nodes) {
            const QStringList typed = node.split(QStringLiteral(" type "));
            const QStringList parts = typed.first().split(QStringLiteral("->"));
            const QString path = devPath(parts.first());
            if (parts.size() == 2) {
                QVERIFY2(QFile::link(parts.last(), path), qPrintable(path));
            } else {
                QFile file(path);
                QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
            }
            if (typed.size() == 2) {
                const QString port = m_root.filePath("sys/" + parts.first());
                QVERIFY(QDir().mkpath(port));
                QFile type(port + QStringLiteral("/type"));
                QVERIFY2(type.open(QIODevice::WriteOnly), qPrintable(type.fileName()));
                type.write(typed.last().toLatin1() + '\n');
            }
        }
    }

private:
    QTemporaryDir m_root;
};

} // namespace

class PortResolverTest : public QObject
{
    Q_OBJECT

private slots:
    void resolve_data()
    {
        QTest::addColumn<QStringList>("nodes");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("expected"); // a node's name; empty: no port

        const QStringList allFourOf3 = {"COM3", "ttyUSB2", "ttyACM2", "ttyS2"};
        QTest::newRow("COM first") << allFourOf3 << 3 << "COM3";
        QTest::newRow("then ttyUSB") << allFourOf3.mid(1) << 3 << "ttyUSB2";
        QTest::newRow("then ttyACM") << allFourOf3.mid(2) << 3 << "ttyACM2";
        QTest::newRow("then ttyS") << allFourOf3.mid(3) << 3 << "ttyS2";
        QTest::newRow("COM before ttyS") << QStringList{"ttyS2", "COM3"} << 3 << "COM3";

        QTest::newRow("1 is COM1") << QStringList{"COM1", "ttyS0"} << 1 << "COM1";
        QTest::newRow("1 is ttyUSB0") << QStringList{"ttyUSB0", "ttyUSB1"} << 1 << "ttyUSB0";
        QTest::newRow("16 is COM16") << QStringList{"COM16", "ttyS15"} << 16 << "COM16";
        QTest::newRow("16 is ttyS15") << QStringList{"ttyS14", "ttyS15", "ttyS16"} << 16 << "ttyS15";
        QTest::newRow("16 is ttyACM15") << QStringList{"ttyACM15"} << 16 << "ttyACM15";

        // The device nodes count from 0, the port numbers from 1.
        QTest::newRow("ttyUSB3 is port 4, not 3") << QStringList{"ttyUSB3", "COM2"} << 3 << "";
        QTest::newRow("COM3 is port 3 only") << QStringList{"COM3"} << 4 << "";

        QTest::newRow("0") << QStringList{"COM0", "ttyUSB0", "ttyS0"} << 0 << "";
        QTest::newRow("negative") << QStringList{"COM-1", "ttyUSB-2", "ttyS0"} << -1 << "";
        QTest::newRow("missing number") << QStringList{"ttyUSB0", "ttyACM0", "ttyS0", "ttyS1"} << 5 << "";
        QTest::newRow("no nodes at all") << QStringList{} << 1 << "";

        // A link is followed: one to a node counts, one whose target is gone
        // is missing, as opening it would fail.
        QTest::newRow("link to a node") << QStringList{"ttyUSB7", "COM3->ttyUSB7", "ttyUSB2"} << 3 << "COM3";
        QTest::newRow("dangling COM link") << QStringList{"COM3->ttyUSB7", "ttyUSB2"} << 3 << "ttyUSB2";
        QTest::newRow("dangling link alone") << QStringList{"ttyUSB0->gone"} << 1 << "";

        // A built-in port the kernel found no UART for is no port; one that
        // reports no type at all still counts.
        QTest::newRow("ttyS with no UART") << QStringList{"ttyS2 type 0"} << 3 << "";
        QTest::newRow("ttyS with a UART") << QStringList{"ttyS2 type 4"} << 3 << "ttyS2";
        QTest::newRow("ttyS with no reported type") << QStringList{"ttyS0", "ttyS1 type 0"} << 1 << "ttyS0";
    }

    void resolve()
    {
        QFETCH(QStringList, nodes);
        QFETCH(int, number);
        QFETCH(QString, expected);

        FakeMachine machine;
        QVERIFY(machine.isValid());
        machine.makeNodes(nodes);
        if (QTest::currentTestFailed())
            return;

        const QString path = machine.resolver().resolve(qint16(number));
        QCOMPARE(path, expected.isEmpty() ? QString() : machine.devPath(expected));
    }

    void portToolTip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        const QString typeANumber = QStringLiteral("Type a port number from 1 to 16");
        QTest::newRow("a port that exists") << "3" << QStringLiteral("Port 3 opens /dev/ttyUSB2");
        QTest::newRow("read as the box reads it") << " 2.5 " << QStringLiteral("Port 2 opens /dev/COM2");
        QTest::newRow("a port that does not") << "4" << QStringLiteral("Port 4: no such serial port on this machine");
        QTest::newRow("out of range") << "17" << typeANumber;
        QTest::newRow("0") << "0" << typeANumber;
        QTest::newRow("not a number") << "a" << typeANumber;
        QTest::newRow("empty") << "" << typeANumber;
    }

    void portToolTip()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);

        FixedPortResolver resolver;
        resolver.assign(2, QStringLiteral("/dev/COM2"));
        resolver.assign(3, QStringLiteral("/dev/ttyUSB2"));
        QCOMPARE(Form2::portToolTip(text, resolver), expected);
    }

    // Hovering over the port-number box shows the tip for the text in it,
    // worked out at that moment from the nodes there are then.
    void hoverOverPortNumberBox()
    {
        FakeMachine machine;
        QVERIFY(machine.isValid());
        machine.makeNodes({"ttyUSB1"});

        const DevicePortResolver resolver = machine.resolver();
        Form2 window(resolver);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const auto hover = [&window] {
            QToolTip::hideText();
            const QPoint inside = window.Text1->rect().center();
            QHelpEvent event(QEvent::ToolTip, inside, window.Text1->mapToGlobal(inside));
            QCoreApplication::sendEvent(window.Text1, &event);
            return QToolTip::text();
        };

        window.Text1->setText(QStringLiteral("2"));
        QCOMPARE(hover(), QStringLiteral("Port 2 opens %1").arg(machine.devPath("ttyUSB1")));
        QVERIFY(QToolTip::isVisible());

        window.Text1->setText(QStringLiteral("3"));
        QCOMPARE(hover(), QStringLiteral("Port 3: no such serial port on this machine"));

        machine.makeNodes({"COM3"});
        QCOMPARE(hover(), QStringLiteral("Port 3 opens %1").arg(machine.devPath("COM3")));

        window.Text1->setText(QStringLiteral("x"));
        QCOMPARE(hover(), QStringLiteral("Type a port number from 1 to 16"));

        // The tip is all a hover does.
        QCOMPARE(window.Text1->text(), QStringLiteral("x"));
        QVERIFY(window.Text1->toolTip().isEmpty());
        QToolTip::hideText();
    }
};

QTEST_MAIN(PortResolverTest)
#include "tst_port_resolver.moc"
