#include "FilamentLoadWidget.h"

#include "ui_FilamentLoadWidget.h"

#include "GuidedResources.h"

FilamentLoadWidget::FilamentLoadWidget(QWidget* parent)
    : FilamentWidget(parent), ui(std::make_unique<Ui::FilamentLoadWidget>())
{
    initGuidedResources();
    ui->setupUi(this);
    setTemperatureBar(ui->filamentTempBar);
}

FilamentLoadWidget::~FilamentLoadWidget() = default;

void FilamentLoadWidget::refresh()
{
    const QSharedPointer<RMDevice> printer = device();
    if (!printer) {
        emit interrupted();
        return;
    }
    const RMDevice::State state = printer->state();
    switch (state) {
    case RMDevice::Idle:
    case RMDevice::Paused:
    case RMDevice::OutOfFilament:
        printer->startFilamentLoad();
        ui->filamentStack->setCurrentWidget(ui->filamentTempWait);
        break;
    case RMDevice::LoadHeating:
        // A load already under way: its bar starts over as a fresh one does.
        startBarAnimation();
        follow(state, state);
        break;
    default:
        // Acts even before the widget is shown: a dialog opened on a printer
        // that cannot load ends before it appears.
        follow(state, state);
        break;
    }
}

void FilamentLoadWidget::printerStateChanged(RMDevice::State state, RMDevice::State oldState)
{
    if (!isVisible())
        return;
    follow(state, oldState);
}

void FilamentLoadWidget::follow(RMDevice::State state, RMDevice::State oldState)
{
    switch (state) {
    case RMDevice::Idle:
    case RMDevice::Paused:
        // Back at rest. After a failed load the error arrives with the same
        // status and ends the procedure; cleaning the nozzle would be wrong.
        if (!endedInFailure())
            ui->filamentStack->setCurrentWidget(ui->filamentWipe);
        break;
    case RMDevice::LoadHeating:
        ui->filamentStack->setCurrentWidget(ui->filamentTempWait);
        restartBarOnEntry(state, oldState);
        break;
    case RMDevice::LoadExtruding:
        ui->filamentStack->setCurrentWidget(ui->filamentLoad);
        break;
    default:
        emit interrupted();
        break;
    }
}

void FilamentLoadWidget::on_closeButton_clicked()
{
    emit completed();
}

bool FilamentLoadWidget::isFailure(RMDevice::Error error) const
{
    return error == RMDevice::FilamentAlreadyLoaded || error == RMDevice::LoadTimeout;
}

QString FilamentLoadWidget::failureText(RMDevice::Error error) const
{
    if (error == RMDevice::FilamentAlreadyLoaded)
        return tr("The printer reports that filament is already loaded.\nTo change it, retract "
                  "the filament first.");
    return tr("The filament was not loaded: the printer did not finish heating, or the front "
              "panel button was not pressed in time.\nPlease try again.");
}
