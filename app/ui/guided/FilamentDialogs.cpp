#include "FilamentDialogs.h"

#include "FilamentLoadWidget.h"
#include "FilamentUnloadWidget.h"

#include <QVBoxLayout>

FilamentDialog::FilamentDialog(FilamentWidget* widget, QWidget* parent)
    : QDialog(parent), content(widget)
{
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(widget);
    setWindowTitle(widget->windowTitle());
    connect(widget, &FilamentWidget::completed, this, &QDialog::accept);
    connect(widget, &FilamentWidget::interrupted, this, &QDialog::reject);
}

int FilamentDialog::exec()
{
    // QDialog::exec() shows the dialog and waits even when accept() or
    // reject() ran just before it: an end reached during the refresh has to
    // be returned here.
    bool ended = false;
    auto end = [&ended] { ended = true; };
    const QMetaObject::Connection c1 = connect(content, &FilamentWidget::completed, this, end);
    const QMetaObject::Connection c2 = connect(content, &FilamentWidget::interrupted, this, end);
    content->refresh();
    disconnect(c1);
    disconnect(c2);
    if (ended)
        return result();
    return QDialog::exec();
}

FilamentLoadDialog::FilamentLoadDialog(QSharedPointer<RMDevice> device, QWidget* parent)
    : FilamentDialog(new FilamentLoadWidget, parent), loadWidget(findChild<FilamentLoadWidget*>())
{
    loadWidget->setDevice(std::move(device));
}

FilamentUnloadDialog::FilamentUnloadDialog(QSharedPointer<RMDevice> device, QWidget* parent)
    : FilamentDialog(new FilamentUnloadWidget, parent),
      unloadWidget(findChild<FilamentUnloadWidget*>())
{
    unloadWidget->setDevice(std::move(device));
}
