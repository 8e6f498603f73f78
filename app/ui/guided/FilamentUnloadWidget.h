#pragma once

#include "FilamentWidget.h"

#include <memory>

namespace Ui {
class FilamentUnloadWidget;
}

// Guides a filament unload: the printer heats (heating page with the
// temperature bar), retracts the filament (retracting page) and returns to
// rest, which completes the procedure by itself. Any state other than the
// unload's own interrupts it.
class FilamentUnloadWidget : public FilamentWidget
{
    Q_OBJECT

public:
    explicit FilamentUnloadWidget(QWidget* parent = nullptr);
    ~FilamentUnloadWidget() override;

    void refresh() override;

public slots:
    void printerStateChanged(RMDevice::State state, RMDevice::State oldState) override;

protected:
    bool isFailure(RMDevice::Error error) const override;
    QString failureText(RMDevice::Error error) const override;

private:
    std::unique_ptr<Ui::FilamentUnloadWidget> ui;
};
