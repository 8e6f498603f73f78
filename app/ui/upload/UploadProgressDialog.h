#pragma once

#include <QProgressDialog>

class RMJobSend;

// "Uploading file to printer...": the window-modal progress of one upload, as
// the window and the test print show it. It has no cancel button (a print file
// cannot be taken back from the printer halfway), follows the job's progress
// and closes, deleting itself, when the job goes, whichever way the upload
// ended (done, failed, or its printer gone with it). A caller that tells the
// user of a failure closes it first, so that the message is not shown behind
// it.
class UploadProgressDialog : public QProgressDialog
{
    Q_OBJECT
public:
    // Shown at once, with 0 percent.
    UploadProgressDialog(RMJobSend* job, QWidget* parent);
};
