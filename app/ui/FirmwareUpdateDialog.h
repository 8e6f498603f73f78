#pragma once

#include <TrelQt.h>

#include <QDialog>
#include <QList>
#include <QSharedPointer>

#include <functional>
#include <memory>
#include <vector>

class QFile;
class RMDevice;
class RMDFUDevice;

namespace Ui {
class FirmwareUpdateDialog;
}

// Walks the user through installing the printer firmware delivered with the
// program: the printer is sent into firmware-update mode, the dialog waits
// until exactly one printer in that mode is listed, asks, flashes it with
// dfu-util showing the percentage, and reports success once the printer is
// back in normal mode. The page of its stack is its state; devicesChanged,
// timers and futures move it on, and nothing blocks the GUI thread but the
// message box of a failed flash.
class FirmwareUpdateDialog : public QDialog
{
    Q_OBJECT

public:
    FirmwareUpdateDialog(const QSharedPointer<RMDevice>& device, QWidget* parent = nullptr);
    ~FirmwareUpdateDialog() override;

    // How long after a change of the attached printers the DFU devices are
    // listed (10 s: the printer needs time to show up in firmware-update
    // mode), and how often they are listed while no printer is found (5 s).
    // Tests shorten them.
    static void setListingDelays(int afterChangeMs, int pollMs);
    // Where a firmware override is looked for (see RMFirmwareFile). Tests
    // point it elsewhere.
    static void setOverridePath(const QString& path);

public slots:
    void deviceConnected();
    void startFirmwareUpload();
    void startFirmwareUpload(QFile* file);
    void on_nextButton_clicked();
    void on_closeButton_clicked();
    void on_deviceStack_currentChanged();
    void on_firmwareDownloadAgainButton_clicked();
    // Ignored during a flash: closing then would leave the printer half
    // written with nobody watching.
    void reject() override;

private:
    QString dfuUtilPath() const;
    void listDevices(std::function<void(const QList<RMDFUDevice>&)> then);
    void showPage(QWidget* page);
    void showDisconnectedPage();
    // A flash is running or done: listings started before it must not move
    // the dialog off its page.
    bool isPastPrompt() const;
    // A printer became active since the flash started: the flashed printer
    // is back in normal mode.
    bool printerReturned() const;

    std::unique_ptr<Ui::FirmwareUpdateDialog> ui;
    QSharedPointer<RMDevice> device;
    bool installed = false;
    std::vector<TrelDeviceAddress> portsBeforeFlash;
};
