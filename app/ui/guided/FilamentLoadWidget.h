#pragma once

#include "FilamentWidget.h"

#include <memory>

namespace Ui {
class FilamentLoadWidget;
}

// Guides a filament load: the printer heats (heating page with the
// temperature bar), waits for the filament to be pushed in and the front
// button pressed (load page), and returns to rest; the user then cleans the
// nozzle (wipe page) and closes, which completes the procedure. Any state
// other than the load's own interrupts it.
//
// It follows the printer only while visible: in the out-of-filament dialog it
// waits on a hidden page while the unload runs.
class FilamentLoadWidget : public FilamentWidget
{
    Q_OBJECT

public:
    explicit FilamentLoadWidget(QWidget* parent = nullptr);
    ~FilamentLoadWidget() override;

    void refresh() override;

public slots:
    void printerStateChanged(RMDevice::State state, RMDevice::State oldState) override;
    void on_closeButton_clicked();

protected:
    bool isFailure(RMDevice::Error error) const override;
    QString failureText(RMDevice::Error error) const override;

private:
    void follow(RMDevice::State state, RMDevice::State oldState);

    std::unique_ptr<Ui::FilamentLoadWidget> ui;
};
