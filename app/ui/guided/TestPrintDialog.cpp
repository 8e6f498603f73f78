#include "TestPrintDialog.h"

#include "ui_TestPrintDialog.h"

#include "GuidedResources.h"
#include "UploadProgressDialog.h"

#include <LogCategories.h>
#include <RMPrintTimeEstimator.h>

#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace {

constexpr int POLL_INTERVAL_MS = 1000;
// Above this the hot end's temperature is worth showing.
constexpr double HOT_CELSIUS = 106.0;

QString celsius(double t)
{
    return QString::number(qRound(t));
}

// The label's image again, from a drawing at least as large as the label
// shows it on this screen (QIcon picks up an "@2x" file beside the name).
void sharpen(QLabel* label, const QString& path)
{
    const QPixmap current = label->pixmap(Qt::ReturnByValue);
    if (current.isNull())
        return;
    const QSize logical = current.size() / current.devicePixelRatio();
    const qreal ratio = label->devicePixelRatioF();
    const QPixmap drawn = QIcon(path).pixmap(logical * ratio);
    if (drawn.isNull())
        return;
    QPixmap sharp =
        drawn.size() == logical * ratio
            ? drawn
            : drawn.scaled(logical * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    sharp.setDevicePixelRatio(ratio);
    label->setPixmap(sharp);
}

// A warning over the dialog, with its title, waited for.
void warn(QDialog* dialog, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, dialog->windowTitle(), text, QMessageBox::Ok, dialog);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}

} // namespace

class TestPrintDialogPrivate
{
public:
    Ui::TestPrintDialog ui;
    QSharedPointer<RMDevice> device;
    RMPrintTimeEstimator* estimator = nullptr;
    QTimer* pollTimer = nullptr;

    void showPage(QWidget* page) { ui.mainStack->setCurrentWidget(page); }
    bool isShown(QWidget* page) const { return ui.mainStack->currentWidget() == page; }
};

TestPrintDialog::TestPrintDialog(QSharedPointer<RMDevice> device, QWidget* parent)
    : QDialog(parent), d_ptr(new TestPrintDialogPrivate)
{
    Q_D(TestPrintDialog);
    initGuidedResources();
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    d->device = std::move(device);
    d->estimator = new RMPrintTimeEstimator(this);
    d->pollTimer = new QTimer(this);
    d->ui.setupUi(this);
    setupRetina();
    d->ui.mainStack->setCurrentIndex(0);

    // The estimator follows the printer first, so that a progress report
    // reaches the label with the estimate it makes.
    d->estimator->setDevice(d->device);
    RMDevice* const printer = d->device.data();
    connect(printer, &RMDevice::stateChanged, this, &TestPrintDialog::onPrinterState);
    connect(printer, &RMDevice::printProgressChanged, this, &TestPrintDialog::onPrintProgress);
    connect(printer, &RMDevice::temperatureChanged, this, &TestPrintDialog::onTempChanged);
    connect(printer, &RMDevice::error, this, &TestPrintDialog::onError);
    // A printer unplugged while it works takes the print with it, and this
    // device never comes back (a printer plugged in again is a new one): the
    // dialog must not keep showing a print that nobody follows.
    connect(printer, &RMDevice::deviceConnected, this, [this](bool connected) {
        Q_D(TestPrintDialog);
        const bool working = d->isShown(d->ui.readyPage) || d->isShown(d->ui.homingPage) ||
                             d->isShown(d->ui.printingPage);
        if (connected || !working)
            return;
        d->pollTimer->stop();
        warn(this, tr("The printer was disconnected during the test print.\nPlease check that "
                      "both the USB and the power cable are connected, then run the test print "
                      "again."));
        reject();
    });
    d->pollTimer->setInterval(POLL_INTERVAL_MS);
    d->pollTimer->setSingleShot(false);
    connect(d->pollTimer, &QTimer::timeout, printer, &RMDevice::pollStatus);
    on_mainStack_currentChanged();
}

TestPrintDialog::~TestPrintDialog() = default;

QString TestPrintDialog::testPrintPath()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../Resources/testPrint.gcode"));
}

void TestPrintDialog::setupRetina()
{
    Q_D(TestPrintDialog);
    sharpen(d->ui.introImage, QStringLiteral(":/images/testPrint.png"));
    sharpen(d->ui.readyImage, QStringLiteral(":/images/ReadyToPrint.png"));
}

void TestPrintDialog::on_nextButton_clicked()
{
    Q_D(TestPrintDialog);
    if (d->isShown(d->ui.endPage)) {
        accept();
        return;
    }
    if (!d->isShown(d->ui.introPage))
        return;

    const QString path = testPrintPath();
    RMJobSend* const job = d->device->sendJob(path);
    if (!job) {
        // Another upload is running, or the printer is gone.
        warn(this, tr("The test print could not be sent to the printer.\nPlease check that the "
                      "printer is connected and idle, and try again."));
        return;
    }

    d->ui.nextButton->setEnabled(false);
    new UploadProgressDialog(job, this);
    // A job gone without an answer (its printer unplugged) leaves the
    // introduction ready to try again.
    connect(job, &QObject::destroyed, this, [this] { on_mainStack_currentChanged(); });
    connect(job, &RMJobSend::done, this, [this, job] {
        Q_D(TestPrintDialog);
        job->deleteLater();
        d->showPage(d->ui.readyPage);
    });
    connect(job, &RMJobSend::failed, this, [this, job, path](const QString& reason) {
        job->deleteLater();
        qCWarning(Device).noquote() << "Test print" << path << "not sent:" << reason;
        warn(this, tr("The test print could not be sent to the printer.\n\n%1").arg(reason));
    });
}

void TestPrintDialog::on_mainStack_currentChanged()
{
    Q_D(TestPrintDialog);
    QWidget* const page = d->ui.mainStack->currentWidget();
    const bool atEnd = page == d->ui.endPage;
    d->ui.nextButton->setEnabled(page == d->ui.introPage || atEnd);
    d->ui.nextButton->setText(atEnd ? tr("Close") : tr("Next"));
    const bool printerWorks =
        page == d->ui.readyPage || page == d->ui.homingPage || page == d->ui.printingPage;
    if (printerWorks && !d->pollTimer->isActive())
        d->pollTimer->start();
    else if (!printerWorks)
        d->pollTimer->stop();
}

void TestPrintDialog::onPrinterState(RMDevice::State state)
{
    Q_D(TestPrintDialog);
    if (state < RMDevice::Idle || state > RMDevice::HomingComplete)
        return;
    const double t = d->device->temperature();
    const bool hot = t > HOT_CELSIUS;
    QLabel* const homing = d->ui.homingLabel;
    switch (state) {
    case RMDevice::Idle:
        // Idle ends the dialog only after printing: an abort during
        // calibration is not a finished test print.
        if (d->isShown(d->ui.printingPage) && d->device->lastError() == RMDevice::NoError)
            d->showPage(d->ui.endPage);
        break;
    case RMDevice::PreparingBuild:
        d->showPage(d->ui.homingPage);
        homing->setText(hot ? tr("Calibrating - Temperature: %1°C").arg(celsius(t))
                            : tr("Calibrating - Temperature: ---"));
        break;
    case RMDevice::Building:
        d->showPage(d->ui.printingPage);
        d->ui.printingLabel->setText(tr("Printing"));
        break;
    case RMDevice::HomingInit:
        d->showPage(d->ui.homingPage);
        homing->setText(tr("Calibration started"));
        break;
    case RMDevice::HomingHeating:
    case RMDevice::HomingCooling:
        d->showPage(d->ui.homingPage);
        homing->setText(hot ? tr("Adjusting hot-end temperature: %1°C").arg(celsius(t))
                            : tr("Adjusting hot-end temperature"));
        break;
    case RMDevice::HomingXY:
        d->showPage(d->ui.homingPage);
        homing->setText(tr("Calibrating build plate"));
        break;
    case RMDevice::HomingZRough:
    case RMDevice::HomingZFine:
        d->showPage(d->ui.homingPage);
        homing->setText(tr("Calibrating carriage"));
        break;
    case RMDevice::HomingComplete:
        d->showPage(d->ui.homingPage);
        homing->setText(tr("Calibration complete"));
        break;
    default:
        break;
    }
}

void TestPrintDialog::onPrintProgress(int progress)
{
    Q_D(TestPrintDialog);
    d->ui.printingProgress->setValue(progress);
    const qint64 remaining = d->estimator->timeRemaining();
    if (remaining > 0)
        d->ui.printingLabel->setText(
            tr("The print will complete in about %n minutes.", nullptr, int(remaining / 60000)));
}

void TestPrintDialog::onTempChanged(double)
{
    Q_D(TestPrintDialog);
    const RMDevice::State state = d->device->state();
    if (state == RMDevice::PreparingBuild || state == RMDevice::HomingHeating ||
        state == RMDevice::HomingCooling)
        onPrinterState(state);
}

void TestPrintDialog::onError()
{
    warn(this, tr("There was an error during the test print."));
    reject();
}
