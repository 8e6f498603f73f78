#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "FilamentDialogs.h"
#include "FirmwareUpdateDialog.h"
#include "LogsDialog.h"
#include "OutOfFilamentDialog.h"
#include "PrintPreviewDialog.h"
#include "TestPrintDialog.h"
#include "UploadProgressDialog.h"

#include <Installer.h>
#include <LogCategories.h>
#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>
#include <RMSettings.h>
#include <RMStatusText.h>

#include <QCoreApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QSet>
#include <QTemporaryFile>
#include <QTimer>

namespace {

const int PollIntervalMs = 10000;
const QString FirstFirmware = QStringLiteral("1.0.0");

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      ui(new Ui::MainWindow), registry(RMDeviceRegistry::instance()),
      device(registry->getDevice(NO_PRINTER)), settings(new RMSettings(this)),
      estimator(new RMPrintTimeEstimator(this)),
      connectedIcon(QStringLiteral(":/images/Connected")),
      disconnectedIcon(QStringLiteral(":/images/Disconnected")), pollTimer(new QTimer(this)),
      logsDialog(new LogsDialog(this))
{
    ui->setupUi(this);
    // The program is started by hand from now on, whoever put it in the
    // session's start-up list.
    setRunAtStartup(false);

    // The form carries the small logo; the large drawing, scaled to the same
    // size, stays sharp on high-density screens.
    const QPixmap small = ui->logo->pixmap(Qt::ReturnByValue);
    const QPixmap big(QStringLiteral(":/images/LogoBig.png"));
    if (!small.isNull() && !big.isNull()) {
        const qreal ratio = devicePixelRatioF();
        const QSize logical = small.size() / small.devicePixelRatio();
        QPixmap logo = big.scaled(logical * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        logo.setDevicePixelRatio(ratio);
        ui->logo->setPixmap(logo);
    }

    setWindowTitle(tr("Zelk Printer Tool - %1").arg(QCoreApplication::applicationVersion()));
    ui->mainStack->setCurrentIndex(0);
    ui->optimizeCheckbox->setChecked(settings->optimizeGcode());

    pollTimer->setInterval(PollIntervalMs);
    pollTimer->start();
    connect(registry, &RMDeviceRegistry::devicesChanged, this,
            &MainWindow::connectedDevicesChanged);
    connect(registry, &RMDeviceRegistry::unopenedPrintersChanged, this, &MainWindow::refreshStatus);
    connectedDevicesChanged(registry->activePorts());
}

MainWindow::~MainWindow()
{
    settings->setOptimizeGcode(ui->optimizeCheckbox->isChecked());
    delete ui;
}

QDialog* MainWindow::activeDialog() const
{
    const QList<QDialog*> dialogs = findChildren<QDialog*>();
    for (QDialog* dialog : dialogs)
        if (dialog->isVisible())
            return dialog;
    return nullptr;
}

void MainWindow::connectedDevicesChanged(QVector<TrelDeviceAddress> ports)
{
    disconnect(device.data(), nullptr, this, nullptr);
    disconnect(pollTimer, nullptr, device.data(), nullptr);

    const QSharedPointer<RMDevice> previous = device;
    device = registry->getDevice(ports.size() == 1 ? ports.first() : NO_PRINTER);
    estimator->setDevice(device);

    RMDevice* const d = device.data();
    connect(d, &RMDevice::deviceConnected, this, &MainWindow::deviceConnected);
    connect(d, &RMDevice::stateChanged, this, &MainWindow::deviceStatusChanged);
    connect(d, &RMDevice::printProgressChanged, this, &MainWindow::refreshStatus);
    connect(d, &RMDevice::temperatureChanged, this, &MainWindow::refreshStatus);
    connect(d, &RMDevice::jobDataReceived, this, [this](const QByteArray& block) {
        qCInfo(PrinterLog).noquote() << block;
        logsDialog->refresh();
    });

    deviceConnected(d->isOpen());
    // A printer followed from now on that is out of filament already has
    // entered that state as far as the window is concerned: its recovery is
    // offered as for one that runs out while followed.
    const RMDevice::State state = d->state();
    deviceStatusChanged(state, device != previous ? RMDevice::Unknown : state);
    connect(pollTimer, &QTimer::timeout, d, &RMDevice::pollStatus);
}

void MainWindow::deviceConnected(bool connected)
{
    const bool open = connected && device->isOpen();
    const QIcon& icon = open ? connectedIcon : disconnectedIcon;
    const QList<QSize> sizes = icon.availableSizes();
    ui->statusIcon->setPixmap(sizes.isEmpty() ? QPixmap() : icon.pixmap(sizes.last()));
    if (open)
        refreshStatus();
}

void MainWindow::refreshStatus()
{
    deviceStatusChanged(device->state(), device->state());
}

void MainWindow::deviceStatusChanged(RMDevice::State state, RMDevice::State oldState)
{
    const bool fwValid = device->isFirmwareValid();
    ui->printFileButton->setEnabled(state == RMDevice::Idle && fwValid);
    ui->testPrintButton->setEnabled(state == RMDevice::Idle && fwValid);
    ui->updateFirmwareButton->setEnabled(false);
    ui->filamentLoadButton->setEnabled(false);
    ui->filamentRetractButton->setEnabled(false);
    pollTimer->setInterval(PollIntervalMs);

    switch (state) {
    case RMDevice::Idle:
        ui->filamentLoadButton->setEnabled(fwValid);
        ui->filamentRetractButton->setEnabled(fwValid);
        ui->updateFirmwareButton->setEnabled(device->fwVersion() != FirstFirmware);
        break;
    case RMDevice::Paused:
        ui->filamentLoadButton->setEnabled(fwValid);
        ui->filamentRetractButton->setEnabled(fwValid);
        break;
    case RMDevice::LoadHeating:
    case RMDevice::LoadExtruding:
        ui->filamentLoadButton->setEnabled(fwValid);
        break;
    case RMDevice::UnloadHeating:
    case RMDevice::UnloadRetracting:
        ui->filamentRetractButton->setEnabled(fwValid);
        break;
    default:
        break;
    }
    ui->statusLabel->setText(RMStatusText::text(state, device->temperature(),
                                                device->printProgress(), estimator->timeRemaining(),
                                                registry->activePorts().size() > 1));
    showUnopened();

    // Once per entry. Queued: the dialog runs its own event loop, and the
    // device is in the middle of signalling this change to others (the
    // estimator among them), who must all see it before the dialog waits.
    if (state == RMDevice::OutOfFilament && oldState != RMDevice::OutOfFilament)
        QMetaObject::invokeMethod(this, &MainWindow::recoverFilament, Qt::QueuedConnection);
}

void MainWindow::showUnopened()
{
    const QVector<RMUnopenedPrinter> unopened = registry->unopenedPrinters();
    // Every printer that could not be opened goes to the log once for each
    // reason, whichever printer the window follows: a second printer held by
    // another program is told there even while the first one prints.
    QSet<QString> logged;
    for (const RMUnopenedPrinter& p : unopened) {
        QString toolTip;
        const QString text = describeUnopened(p, &toolTip);
        const QString key =
            QStringLiteral("%1:%2 %3 %4").arg(p.port.bus).arg(p.port.address).arg(text, toolTip);
        if (!loggedUnopened.contains(key)) {
            qCWarning(DeviceRegistry).noquote()
                << "Printer" << p.port << "not opened:" << text << "-" << toolTip;
        }
        logged.insert(key);
    }
    loggedUnopened = logged; // one that comes back is told again

    // The status line says it only when it has nothing else to show.
    QString toolTip;
    if (device->state() == RMDevice::Disconnected && registry->activePorts().isEmpty() &&
        !unopened.isEmpty())
        ui->statusLabel->setText(describeUnopened(unopened.first(), &toolTip));
    ui->statusLabel->setToolTip(toolTip);
}

QString MainWindow::describeUnopened(const RMUnopenedPrinter& p, QString* toolTip) const
{
    switch (p.reason) {
    case RMUnopenedPrinter::HeldElsewhere:
        if (p.holderName.isEmpty()) {
            *toolTip = tr("Another program has the printer open (%1). A printer talks to one "
                          "program at a time.")
                           .arg(p.node);
            return tr("Held by another program");
        }
        *toolTip = tr("%1 (PID %2) has the printer open (%3). A printer talks to one "
                      "program at a time.")
                       .arg(p.holderName)
                       .arg(p.holderPid)
                       .arg(p.node);
        return tr("Held by %1").arg(p.holderName);
    case RMUnopenedPrinter::NoPermission:
        *toolTip = tr("This user may not open the printer (%1). Install the program's .deb "
                      "package (its udev rule gives access) or join the group zelkd, then "
                      "plug the printer in again.")
                       .arg(p.node);
        return tr("No permission to use the printer");
    case RMUnopenedPrinter::OpenFailed:
        break;
    }
    *toolTip = tr("%1 could not be opened; trying again.").arg(p.node);
    return tr("The printer could not be opened");
}

void MainWindow::recoverFilament()
{
    if (device->state() != RMDevice::OutOfFilament)
        return;
    if (OutOfFilamentDialog* running = filamentRecovery.data()) {
        // The running dialog brings itself back to its first page when its
        // printer runs out again. One for a printer object that is gone (the
        // printer came back on the bus as a new one) cannot help any more.
        if (filamentRecoveryDevice == device.data())
            return;
        running->reject();
    }
    OutOfFilamentDialog dialog(device, this);
    filamentRecovery = &dialog;
    filamentRecoveryDevice = device.data();
    dialog.exec();
    if (filamentRecovery == &dialog) {
        filamentRecovery = nullptr;
        filamentRecoveryDevice = nullptr;
    }
}

bool MainWindow::confirm(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, windowTitle(), text, QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setWindowModality(Qt::WindowModal);
    box.setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    return box.exec() == QMessageBox::Yes;
}

void MainWindow::on_filamentRetractButton_clicked()
{
    if (!confirm(tr("<b>Warning</b>: You can reduce filament jams by loading new filament on top "
                    "of the old rather than unloading then reloading.<br/><br/>Are you sure you "
                    "want to unload?")))
        return;
    FilamentUnloadDialog dialog(device, this);
    dialog.exec();
}

void MainWindow::on_filamentLoadButton_clicked()
{
    FilamentLoadDialog dialog(device, this);
    dialog.exec();
}

void MainWindow::on_testPrintButton_clicked()
{
    TestPrintDialog dialog(device, this);
    dialog.exec();
}

void MainWindow::on_updateFirmwareButton_clicked()
{
    if (!confirm(tr("<b>Warning</b>: this firmware will disable the Wi-Fi on your Zelk and it "
                    "will no longer be able to connect to the Corvane Store. It will print only "
                    "from this desktop application.<br/><br/>This update also includes some "
                    "performance improvements to the Zelk, so you may see higher print speeds "
                    "and improved print quality.<br/><br/>Do you want to flash the firmware?")))
        return;
    FirmwareUpdateDialog dialog(device, this);
    dialog.exec();
}

void MainWindow::on_logsButton_clicked()
{
    logsDialog->exec();
}

void MainWindow::on_printFileButton_clicked()
{
    if (!printFileDialog) {
        printFileDialog = new QFileDialog(this, tr("Please select the file to print"), QString(),
                                          tr("GCODE files (*.gcode);;All files (*.*)"));
        printFileDialog->setFileMode(QFileDialog::ExistingFile);
        printFileDialog->setAcceptMode(QFileDialog::AcceptOpen);
    }
    if (printFileDialog->exec() != QDialog::Accepted || printFileDialog->selectedFiles().isEmpty())
        return;
    const QString chosen = printFileDialog->selectedFiles().constFirst();
    if (chosen.isEmpty())
        return;

    // Nothing goes to the printer before the user has seen what the file
    // prints and pressed Print. The preview optimizes it, when asked, into
    // the temporary file that is sent.
    std::unique_ptr<QTemporaryFile> optimized;
    {
        PrintPreviewDialog preview(chosen, ui->optimizeCheckbox->isChecked(), settings, this);
        if (preview.exec() != QDialog::Accepted)
            return;
        optimized = preview.takeOptimizedFile();
    }
    const QString path = optimized ? optimized->fileName() : chosen;

    // The followed device may have changed while the preview was open.
    RMDevice* const target = device.data();
    RMJobSend* const job = target->sendJob(path);
    if (!job)
        return;
    // The upload reads the file on the device's job thread some time after
    // this returns, so the optimized copy lives as long as the upload does.
    if (optimized)
        optimized.release()->setParent(job);

    ui->printFileButton->setEnabled(false);
    QPointer<UploadProgressDialog> guard(new UploadProgressDialog(job, this));
    connect(job, &RMJobSend::done, target, [job, target] {
        job->deleteLater();
        target->pollStatus();
        QTimer::singleShot(100, target, &RMDevice::pollStatus);
    });
    connect(job, &RMJobSend::failed, this, [this, job, guard](const QString& reason) {
        job->deleteLater();
        if (guard)
            guard->close();
        qCWarning(Device) << "Print job not sent:" << reason;
        tellUser(tr("The file could not be sent to the printer.\n\n%1").arg(reason));
        refreshStatus();
    });
}

void MainWindow::tellUser(const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}
