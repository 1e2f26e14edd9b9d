#pragma once

#include "station/Station.h"
#include "stationwindow/StationWindowSetup.h"
#include "stationwindow/VerdictSound.h"

#include <QList>
#include <QWidget>

#include <memory>

class ProductionLog;
class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class SlotTile;

// The station for the operator at a fixture: a header with the firmware
// file, its first-line check and SHA-256, the log file, the ports, the
// station's counts and Start / Stop, and below it a tile per slot, in a grid
// that scrolls past sixteen. It is a view over Station: every slot's loop,
// the log and the counts are the station's; the window only shows them, and
// starts and stops the station.
//
// The file, the log and the ports are what the station was started with: they
// cannot be changed while it runs (Stop first). Each Start reads the file
// again, so a new build saved over it is taken at the next Start and never in
// the middle of a run. Closing the window stops every slot at once.
class StationWindow : public QWidget
{
    Q_OBJECT

public:
    explicit StationWindow(StationWindowSetup setup, QWidget *parent = nullptr);
    ~StationWindow() override;

    // Reads the ports, the file and the log as the header has them and starts
    // a station on them; false, with the reason shown in the header, when any
    // of them cannot be used.
    bool startStation();
    // Stops every slot at once and returns when all have stopped, their
    // ports closed and their interrupted attempts logged.
    void stopStation();
    bool running() const;

    // The station of the last Start, or nullptr before it.
    const Station *station() const { return m_station.get(); }
    const QList<SlotTile *> &tiles() const { return m_tiles; }
    QScrollArea *tileArea() const { return m_scroll; }
    VerdictSound &sound() { return m_sound; }
    // The header's message line: why a Start was refused, or a notice.
    QString message() const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildHeader();
    void chooseFirmware();
    void chooseLog();
    void inspectFirmware(const QString &path);
    void showDigest(const QByteArray &sha256);
    void showMessage(const QString &text, bool trouble);
    void setRunning(bool running);
    void showPlan();
    void layOutTiles(int count);
    void showCounts();
    void onVerdict(int index);
    void onFileChanged();

    StationWindowSetup m_setup;
    VerdictSound m_sound;
    // The log outlives the station that writes to it.
    std::unique_ptr<ProductionLog> m_log;
    std::unique_ptr<Station> m_station;
    bool m_stopping = false;

    QLineEdit *m_firmware = nullptr;
    QPushButton *m_chooseFirmware = nullptr;
    QLabel *m_firmwareCheck = nullptr;
    QLabel *m_digest = nullptr;
    QLineEdit *m_ports = nullptr;
    QLineEdit *m_logPath = nullptr;
    QPushButton *m_chooseLog = nullptr;
    QCheckBox *m_check = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_stop = nullptr;
    QCheckBox *m_mute = nullptr;
    QLabel *m_counts = nullptr;
    QLabel *m_fileWarning = nullptr;
    QLabel *m_plan = nullptr;
    QLabel *m_message = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_grid = nullptr;
    QGridLayout *m_gridLayout = nullptr;
    QList<SlotTile *> m_tiles;
};
