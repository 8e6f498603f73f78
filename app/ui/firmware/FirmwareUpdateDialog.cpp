#include "FirmwareUpdateDialog.h"

#include "ui_FirmwareUpdateDialog.h"

#include <LogCategories.h>
#include <RMDFUDevice.h>
#include <RMDFUUpdate.h>
#include <RMDevice.h>
#include <RMDeviceRegistry.h>
#include <RMFirmwareFile.h>
#include <RMWiFi.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFutureWatcher>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <algorithm>

// Resources of a static library register only when asked to, from the
// global namespace.
static void initFirmwareUpdateResources()
{
    Q_INIT_RESOURCE(firmwareupdate);
}

namespace {

int afterChangeDelay = 10000;
int pollInterval = 5000;
int flashLimit = FirmwareUpdateDialog::FLASH_LIMIT_MS;
int returnLimit = FirmwareUpdateDialog::RETURN_LIMIT_MS;
// How long a stopped polling timer lives on, for listings still under way.
constexpr int TIMER_GRACE_MS = 10000;
// How long a dfu-util that was stopped (and killed KILL_AFTER_MS later) may
// take to end before the dialog gives up waiting for it.
constexpr int STOP_GRACE_MS = RMDFUUpdate::KILL_AFTER_MS + 5000;

void noHelpButton(QMessageBox& box)
{
    box.setWindowModality(Qt::WindowModal);
    box.setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

QString& overridePath()
{
    static QString path = RMFirmwareFile::defaultOverridePath();
    return path;
}

} // namespace

void FirmwareUpdateDialog::setListingDelays(int afterChangeMs, int pollMs)
{
    afterChangeDelay = afterChangeMs;
    pollInterval = pollMs;
}

void FirmwareUpdateDialog::setTimeLimits(int flashMs, int returnMs)
{
    flashLimit = flashMs;
    returnLimit = returnMs;
}

void FirmwareUpdateDialog::setOverridePath(const QString& path)
{
    overridePath() = path;
}

FirmwareUpdateDialog::FirmwareUpdateDialog(const QSharedPointer<RMDevice>& dev, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::FirmwareUpdateDialog>()), device(dev)
{
    initFirmwareUpdateResources();
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui->deviceStack->setCurrentWidget(ui->notConnectedPage);
    connect(RMDeviceRegistry::instance(), &RMDeviceRegistry::devicesChanged, this,
            &FirmwareUpdateDialog::deviceConnected);
    device->pollStatus();
    deviceConnected();
}

FirmwareUpdateDialog::~FirmwareUpdateDialog() = default;

QString FirmwareUpdateDialog::dfuUtilPath() const
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("dfu-util"));
}

void FirmwareUpdateDialog::listDevices(std::function<void(const QList<RMDFUDevice>&)> then)
{
    auto* watcher = new QFutureWatcher<QList<RMDFUDevice>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [watcher, then] {
        watcher->deleteLater();
        then(watcher->result());
    });
    watcher->setFuture(RMDFUDevice::connectedDevices(dfuUtilPath()));
}

void FirmwareUpdateDialog::showPage(QWidget* page)
{
    ui->deviceStack->setCurrentWidget(page);
}

void FirmwareUpdateDialog::showDisconnectedPage()
{
    showPage(device->isOpen() ? ui->connectedPage : ui->notConnectedPage);
}

bool FirmwareUpdateDialog::isPastPrompt() const
{
    QWidget* page = ui->deviceStack->currentWidget();
    return page == ui->firmwareUploadingPage || page == ui->firmwareUploadedPage;
}

bool FirmwareUpdateDialog::printerReturned() const
{
    const QVector<TrelDeviceAddress>& now = RMDeviceRegistry::instance()->activePorts();
    return std::any_of(now.begin(), now.end(), [this](TrelDeviceAddress port) {
        return std::find(portsBeforeFlash.begin(), portsBeforeFlash.end(), port) ==
               portsBeforeFlash.end();
    });
}

void FirmwareUpdateDialog::deviceConnected()
{
    if (ui->deviceStack->currentWidget() == ui->firmwareUploadingPage && installed) {
        showPage(ui->firmwareUploadedPage);
        return;
    }
    if (!device->isOpen()) {
        QTimer::singleShot(afterChangeDelay, this, [this] {
            listDevices([this](const QList<RMDFUDevice>& devices) {
                if (isPastPrompt())
                    return;
                showPage(devices.size() == 1 ? ui->firmwarePromptPage : ui->notConnectedPage);
            });
        });
        return;
    }
    showPage(ui->connectedPage);
}

void FirmwareUpdateDialog::on_deviceStack_currentChanged()
{
    QWidget* page = ui->deviceStack->currentWidget();
    ui->nextButton->setEnabled(page == ui->firmwarePromptPage);
    ui->nextButton->setVisible(page == ui->notConnectedPage || page == ui->connectedPage ||
                               page == ui->firmwarePromptPage);
    ui->closeButton->setEnabled(page != ui->firmwareUploadingPage);

    if (page == ui->notConnectedPage) {
        QPointer<QTimer> timer = new QTimer(this);
        timer->setInterval(pollInterval);
        connect(timer, &QTimer::timeout, this, [this, timer] {
            listDevices([this, timer](const QList<RMDFUDevice>& devices) {
                if (devices.size() == 1 && !isPastPrompt())
                    showPage(ui->firmwarePromptPage);
                if (timer && ui->deviceStack->currentWidget() != ui->notConnectedPage) {
                    timer->stop();
                    QTimer::singleShot(TIMER_GRACE_MS, timer, &QObject::deleteLater);
                }
            });
        });
        timer->start();
    } else if (page == ui->connectedPage) {
        // The Wi-Fi settings are asked for first so that the printer has
        // answered everything queued before it leaves the bus.
        auto* watcher = new QFutureWatcher<RMWiFiConfig>(this);
        connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
            watcher->deleteLater();
            device->enterDfu();
        });
        watcher->setFuture(device->queryWiFiConfig());
    }
}

void FirmwareUpdateDialog::on_nextButton_clicked()
{
    if (ui->deviceStack->currentWidget() != ui->firmwarePromptPage)
        return;
    showPage(ui->firmwareUploadingPage);
    startFirmwareUpload();
}

void FirmwareUpdateDialog::on_closeButton_clicked()
{
    close();
}

void FirmwareUpdateDialog::on_firmwareDownloadAgainButton_clicked()
{
    startFirmwareUpload();
}

void FirmwareUpdateDialog::startFirmwareUpload()
{
    QString refusal;
    const QString path =
        RMFirmwareFile::choose(QCoreApplication::applicationDirPath(), overridePath(), &refusal);
    if (!refusal.isEmpty()) {
        // The user put that file there to have it installed: the delivered
        // firmware goes on only when they say so.
        QMessageBox box(QMessageBox::Warning, windowTitle(),
                        tr("The firmware file %1 was not used: %2.\n\nInstall the firmware "
                           "delivered with the program instead?")
                            .arg(QDir::toNativeSeparators(overridePath()), refusal),
                        QMessageBox::Yes | QMessageBox::No, this);
        noHelpButton(box);
        if (box.exec() != QMessageBox::Yes) {
            showPage(ui->firmwarePromptPage);
            return;
        }
    }
    auto* file = new QFile(path, this);
    if (!file->open(QIODevice::ReadOnly))
        qCWarning(DFU).noquote() << "Cannot open firmware file" << path << "-"
                                 << file->errorString();
    startFirmwareUpload(file);
}

void FirmwareUpdateDialog::startFirmwareUpload(QFile* file)
{
    listDevices([this, file](const QList<RMDFUDevice>& devices) {
        if (devices.size() != 1) {
            showDisconnectedPage();
            file->deleteLater();
            return;
        }
        showPage(ui->firmwareUploadingPage);
        ui->closeButton->setEnabled(false);
        const QVector<TrelDeviceAddress>& ports = RMDeviceRegistry::instance()->activePorts();
        portsBeforeFlash.assign(ports.begin(), ports.end());
        // Owned by the dialog, whose close button is disabled until the
        // update has ended; an update that was never let go (the program
        // quit during it) is not left behind.
        RMDFUUpdate* update = devices.first().startUpdate(file->fileName(), this);
        running = update;
        flashStopped = false;
        connect(update, &RMDFUUpdate::progressChanged, this, [this](int progress) {
            ui->firmwareProgressLabel->setText(tr("%1%").arg(progress));
        });
        connect(update, &RMDFUUpdate::success, this, [this, update, file] {
            if (update != running)
                return;
            running = nullptr;
            installed = true;
            update->deleteLater();
            file->deleteLater();
            // dfu-util may end only after the printer has started the new
            // firmware and is back (it waits out the printer's manifestation
            // time): then no change of the attached printers is left to come.
            if (printerReturned()) {
                showPage(ui->firmwareUploadedPage);
                return;
            }
            QTimer::singleShot(returnLimit, this, &FirmwareUpdateDialog::printerNotBack);
        });
        connect(update, &RMDFUUpdate::error, this,
                [this, update, file] { flashFailed(update, file); });
        // A dfu-util that waits for a printer that stopped answering would
        // keep the dialog open for good.
        QTimer::singleShot(flashLimit, update, [this, update, file] {
            qCWarning(DFU) << "dfu-util has not ended after" << flashLimit / 1000 << "s";
            flashStopped = true;
            update->stop();
            QTimer::singleShot(STOP_GRACE_MS, update,
                               [this, update, file] { flashFailed(update, file); });
        });
    });
}

void FirmwareUpdateDialog::flashFailed(RMDFUUpdate* update, QFile* file)
{
    if (update != running)
        return;
    running = nullptr;
    QMessageBox box(QMessageBox::Critical, windowTitle(),
                    flashStopped
                        ? tr("The firmware installation did not finish in time and was "
                             "stopped.\nUnplug the printer's USB cable, plug it in again and "
                             "install the firmware again: the printer stays in firmware update "
                             "mode until a firmware has been installed.")
                        : tr("Cannot install the printer firmware.\nPlease check that the "
                             "printer is connected to the computer and try again.\nIf the "
                             "problem persist, please contact us for assistance."),
                    QMessageBox::Ok, this);
    noHelpButton(box);
    box.exec();
    showDisconnectedPage();
    update->deleteLater();
    file->deleteLater();
    ui->closeButton->setEnabled(true);
}

void FirmwareUpdateDialog::printerNotBack()
{
    if (!installed || ui->deviceStack->currentWidget() != ui->firmwareUploadingPage)
        return; // back in time
    qCWarning(DFU) << "The printer has not come back in normal mode" << returnLimit / 1000
                   << "s after the flash";
    // Still waiting for it (a printer that comes back shows the last page),
    // but no longer holding the program.
    ui->closeButton->setEnabled(true);
    auto* box = new QMessageBox(
        QMessageBox::Warning, windowTitle(),
        tr("The firmware has been written, but the printer has not restarted with it.\nUnplug "
           "the printer's USB cable and plug it in again. If it is still not shown as "
           "connected, switch the printer off and on, and run the firmware update again."),
        QMessageBox::Ok, this);
    noHelpButton(*box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void FirmwareUpdateDialog::reject()
{
    if (!ui->closeButton->isEnabled())
        return;
    QDialog::reject();
}
