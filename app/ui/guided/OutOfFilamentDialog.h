#pragma once

#include <RMDevice.h>

#include <QDialog>
#include <QSharedPointer>

#include <memory>

class FilamentWidget;

namespace Ui {
class OutOfFilamentDialog;
}

// Recovers a print whose filament broke or ran out: the printer has paused,
// the user unloads what is left, loads new filament, and resumes the print on
// the printer, which closes the dialog. The unload and the load run in the
// filament widgets on the dialog's own pages; the printer's state moves the
// dialog between them.
class OutOfFilamentDialog : public QDialog
{
    Q_OBJECT

public:
    explicit OutOfFilamentDialog(QSharedPointer<RMDevice> device, QWidget* parent = nullptr);
    ~OutOfFilamentDialog() override;

public slots:
    void printerStateChanged(RMDevice::State state);
    void on_unloadButton_clicked();
    void on_loadButton_clicked();

private:
    // Connects a widget's signal to a page change that happens only while
    // the widget is shown: the hidden widget follows the printer too.
    template <typename Signal>
    void whileShown(FilamentWidget* widget, Signal signal, QWidget* page);

    std::unique_ptr<Ui::OutOfFilamentDialog> ui;
    QSharedPointer<RMDevice> device;
};
