#include "UploadProgressDialog.h"

#include <RMDevice.h>

UploadProgressDialog::UploadProgressDialog(RMJobSend* job, QWidget* parent)
    : QProgressDialog(tr("Uploading file to printer..."), QString(), 0, 100, parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    // Reaching 100 percent is not the end: the upload ends with done() or
    // failed(), and its job's end closes the dialog.
    setAutoClose(false);
    setAutoReset(false);
    setMinimumDuration(0);
    setValue(0);
    connect(job, &RMJobSend::progressChanged, this, &QProgressDialog::setValue);
    connect(job, &QObject::destroyed, this, &QWidget::close);
}
