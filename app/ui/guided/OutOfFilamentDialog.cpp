#include "OutOfFilamentDialog.h"

#include "ui_OutOfFilamentDialog.h"

#include "GuidedResources.h"

OutOfFilamentDialog::OutOfFilamentDialog(QSharedPointer<RMDevice> printer, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::OutOfFilamentDialog>()), device(std::move(printer))
{
    initGuidedResources();
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    ui->stack->setCurrentWidget(ui->unloadPromptPage);
    ui->unloadWidget->setDevice(device);
    ui->loadWidget->setDevice(device);

    connect(device.data(), &RMDevice::stateChanged, this,
            &OutOfFilamentDialog::printerStateChanged);
    whileShown(ui->unloadWidget, &FilamentWidget::completed, ui->loadPromptPage);
    whileShown(ui->unloadWidget, &FilamentWidget::interrupted, ui->unloadPromptPage);
    whileShown(ui->loadWidget, &FilamentWidget::completed, ui->resumePage);
    whileShown(ui->loadWidget, &FilamentWidget::interrupted, ui->loadPromptPage);
}

OutOfFilamentDialog::~OutOfFilamentDialog() = default;

template <typename Signal>
void OutOfFilamentDialog::whileShown(FilamentWidget* widget, Signal signal, QWidget* page)
{
    connect(widget, signal, this, [this, widget, page] {
        if (widget->isVisible())
            ui->stack->setCurrentWidget(page);
    });
}

void OutOfFilamentDialog::on_unloadButton_clicked()
{
    ui->stack->setCurrentWidget(ui->unloadPage);
    ui->unloadWidget->refresh();
}

void OutOfFilamentDialog::on_loadButton_clicked()
{
    ui->stack->setCurrentWidget(ui->loadPage);
    ui->loadWidget->refresh();
}

void OutOfFilamentDialog::printerStateChanged(RMDevice::State state)
{
    switch (state) {
    case RMDevice::OutOfFilament:
        ui->stack->setCurrentWidget(ui->unloadPromptPage);
        break;
    case RMDevice::Paused:
        // Paused before anything was unloaded here: the user dealt with the
        // filament on the printer itself.
        if (ui->stack->currentWidget() == ui->unloadPromptPage)
            ui->stack->setCurrentWidget(ui->loadPromptPage);
        break;
    case RMDevice::Unpaused:
        accept();
        break;
    default:
        break;
    }
}
