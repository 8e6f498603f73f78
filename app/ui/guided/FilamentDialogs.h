#pragma once

#include <RMDevice.h>

#include <QDialog>
#include <QSharedPointer>

class FilamentLoadWidget;
class FilamentUnloadWidget;
class FilamentWidget;

// A dialog around one filament widget: the widget's completion accepts it,
// its interruption rejects it. exec() starts the procedure (the widget's
// refresh()) before the dialog appears, so that a printer that cannot run it
// ends the dialog before it is ever shown.
class FilamentDialog : public QDialog
{
    Q_OBJECT

public:
    int exec() override;

protected:
    FilamentDialog(FilamentWidget* widget, QWidget* parent);

private:
    FilamentWidget* const content;
};

class FilamentLoadDialog : public FilamentDialog
{
    Q_OBJECT

public:
    explicit FilamentLoadDialog(QSharedPointer<RMDevice> device, QWidget* parent = nullptr);
    FilamentLoadWidget* widget() const { return loadWidget; }

private:
    FilamentLoadWidget* loadWidget;
};

class FilamentUnloadDialog : public FilamentDialog
{
    Q_OBJECT

public:
    explicit FilamentUnloadDialog(QSharedPointer<RMDevice> device, QWidget* parent = nullptr);
    FilamentUnloadWidget* widget() const { return unloadWidget; }

private:
    FilamentUnloadWidget* unloadWidget;
};
