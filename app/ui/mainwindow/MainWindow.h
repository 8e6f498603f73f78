#pragma once

#include <RMDevice.h>
#include <TrelQt.h>

#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QSharedPointer>
#include <QVector>

#include <memory>

class LogsDialog;
class OutOfFilamentDialog;
class QDialog;
class QFileDialog;
class QTemporaryFile;
class QTimer;
class RMDeviceRegistry;
class RMPrintTimeEstimator;
class RMSettings;
struct RMUnopenedPrinter;

namespace Ui {
class MainWindow;
}

// The program's one top-level window. It follows the single attached printer
// (or the registry's never-open placeholder when there is none, or more than
// one), shows its state in one status line, polls it every 10 s and prints
// G-code files on it, after a preview, optionally through the optimizer. Its other
// buttons run the guided procedures (filament load and unload, test print,
// firmware update) and show the printer's logs; a printer that runs out of
// filament gets the recovery dialog by itself.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The first visible dialog among the window's descendants, or null.
    QDialog* activeDialog() const;

public slots:
    void connectedDevicesChanged(QVector<TrelDeviceAddress> ports);
    void deviceStatusChanged(RMDevice::State state, RMDevice::State oldState);
    void deviceConnected(bool connected);

private slots:
    void on_printFileButton_clicked();
    void on_filamentRetractButton_clicked();
    void on_filamentLoadButton_clicked();
    void on_testPrintButton_clicked();
    void on_updateFirmwareButton_clicked();
    void on_logsButton_clicked();

private:
    void refreshStatus();
    // Yes or No in a box over the window; true for Yes.
    bool confirm(const QString& text);
    // Runs the out-of-filament dialog for the followed printer, unless one
    // is running for it already.
    void recoverFilament();
    void tellUser(const QString& text);
    // The status line and its tooltip for a printer present but not opened
    // (held by another program, or this user may not open it), when the
    // window follows no printer; logged once per change.
    void showUnopened();
    // The status line's text for `p`, and its tool tip.
    QString describeUnopened(const RMUnopenedPrinter& p, QString* toolTip) const;

    Ui::MainWindow* ui;
    RMDeviceRegistry* registry;
    QSharedPointer<RMDevice> device;
    RMSettings* settings;
    RMPrintTimeEstimator* estimator;
    QIcon connectedIcon;
    QIcon disconnectedIcon;
    QTimer* pollTimer;
    LogsDialog* logsDialog;
    // One for the window's life: a file dialog that goes closes its file
    // system watcher, and closing an inotify descriptor waits for the
    // kernel's grace period, which held the GUI thread for up to 4 s while
    // other processes kept the CPUs busy.
    QFileDialog* printFileDialog = nullptr;
    // The running out-of-filament dialog, and the printer it follows.
    QPointer<OutOfFilamentDialog> filamentRecovery;
    RMDevice* filamentRecoveryDevice = nullptr;
    QSet<QString> loggedUnopened; // what showUnopened() logged, per printer
};
