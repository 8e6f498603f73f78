#pragma once

#include <TrelQt.h>

#include <QDialog>
#include <QList>
#include <QPointer>
#include <QSharedPointer>

#include <functional>
#include <memory>
#include <vector>

class QFile;
class RMDevice;
class RMDFUDevice;
class RMDFUUpdate;

namespace Ui {
class FirmwareUpdateDialog;
}

// Walks the user through installing the printer firmware delivered with the
// program: the printer is sent into firmware-update mode, the dialog waits
// until exactly one printer in that mode is listed, asks, flashes it with
// dfu-util showing the percentage, and reports success once the printer is
// back in normal mode. The page of its stack is its state; devicesChanged,
// timers and futures move it on, and nothing blocks the GUI thread but the
// message boxes of a failed flash and of a refused firmware override.
//
// Closing is refused while dfu-util writes, but never for good: a dfu-util
// that has not ended after FLASH_LIMIT_MS is stopped and the user told, and
// a printer that has not come back RETURN_LIMIT_MS after the flash is
// reported with what to do, after which the dialog may be closed.
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

    // The bundled image is 96 KiB: 48 blocks of 2 KiB that the bootloader
    // writes after erasing the pages under them, some 5 to 15 s over
    // full-speed USB, a minute for the slowest flash that still works. Three
    // minutes without an end is a dfu-util that waits for a printer that no
    // longer answers.
    static constexpr int FLASH_LIMIT_MS = 180000;
    // A printer leaves firmware-update mode, starts the new firmware (a
    // second or two), enumerates, is opened at the link's next bus scan
    // (every 0.5 s) and answers the registry's status poll (asked again
    // every 5 s): back within 10 s, or not by itself.
    static constexpr int RETURN_LIMIT_MS = 60000;
    // Tests shorten them.
    static void setTimeLimits(int flashMs, int returnMs);
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
    // The running flash ended in a failure, or was stopped and has not
    // ended: tell the user and start over. Once per flash.
    void flashFailed(RMDFUUpdate* update, QFile* file);
    // The flash succeeded but the printer has not come back in normal mode.
    void printerNotBack();

    std::unique_ptr<Ui::FirmwareUpdateDialog> ui;
    QSharedPointer<RMDevice> device;
    bool installed = false;
    std::vector<TrelDeviceAddress> portsBeforeFlash;
    // The flash under way, until its ending has been handled.
    QPointer<RMDFUUpdate> running;
    bool flashStopped = false; // ran past the limit and was stopped
};
