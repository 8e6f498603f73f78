#include "FilamentUnloadWidget.h"

#include "ui_FilamentUnloadWidget.h"

#include "GuidedResources.h"

FilamentUnloadWidget::FilamentUnloadWidget(QWidget* parent)
    : FilamentWidget(parent), ui(std::make_unique<Ui::FilamentUnloadWidget>())
{
    initGuidedResources();
    ui->setupUi(this);
    setTemperatureBar(ui->unfilamentTempBar);
}

FilamentUnloadWidget::~FilamentUnloadWidget() = default;

void FilamentUnloadWidget::refresh()
{
    const QSharedPointer<RMDevice> printer = device();
    if (!printer) {
        emit interrupted();
        return;
    }
    switch (printer->state()) {
    case RMDevice::Idle:
    case RMDevice::Paused:
    case RMDevice::OutOfFilament:
        printer->startFilamentUnload();
        // A page left over from an earlier unload in the same dialog would
        // show until the printer's next status.
        ui->unfilamentStack->setCurrentWidget(ui->unfilamentTempWait);
        break;
    case RMDevice::UnloadHeating:
        startBarAnimation();
        ui->unfilamentStack->setCurrentWidget(ui->unfilamentTempWait);
        break;
    case RMDevice::UnloadRetracting:
        ui->unfilamentStack->setCurrentWidget(ui->unfilamentRetracting);
        break;
    default:
        emit interrupted();
        break;
    }
}

void FilamentUnloadWidget::printerStateChanged(RMDevice::State state, RMDevice::State oldState)
{
    switch (state) {
    case RMDevice::Idle:
    case RMDevice::Paused:
        // After a failed or refused unload the error that arrives with the
        // same status ends the procedure instead.
        if (!endedInFailure())
            emit completed();
        break;
    case RMDevice::UnloadHeating:
        ui->unfilamentStack->setCurrentWidget(ui->unfilamentTempWait);
        restartBarOnEntry(state, oldState);
        break;
    case RMDevice::UnloadRetracting:
        ui->unfilamentStack->setCurrentWidget(ui->unfilamentRetracting);
        break;
    default:
        emit interrupted();
        break;
    }
}

bool FilamentUnloadWidget::isFailure(RMDevice::Error error) const
{
    return error == RMDevice::FilamentAlreadyUnloaded || error == RMDevice::UnloadTimeout;
}

QString FilamentUnloadWidget::failureText(RMDevice::Error error) const
{
    if (error == RMDevice::FilamentAlreadyUnloaded)
        return tr("The printer reports that no filament is loaded, so there is nothing to "
                  "unload.");
    return tr("The filament was not unloaded: the printer did not finish heating.\nPlease try "
              "again.");
}
