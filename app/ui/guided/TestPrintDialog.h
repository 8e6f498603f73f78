#pragma once

#include <RMDevice.h>

#include <QDialog>
#include <QScopedPointer>
#include <QSharedPointer>

class TestPrintDialogPrivate;

// Prints the test object delivered with the program ("../Resources/
// testPrint.gcode" beside the program's directory) and walks the user
// through it: an introduction, the upload, the wait for the printer's button,
// calibration with the hot end's temperature, printing with the time left,
// and a closing page. The printer is polled every second while it works.
class TestPrintDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TestPrintDialog(QSharedPointer<RMDevice> device, QWidget* parent = nullptr);
    ~TestPrintDialog() override;

    // Where the test print is: ../Resources/testPrint.gcode seen from the
    // program's directory, in a build tree as in an installed bundle.
    static QString testPrintPath();

public slots:
    void onPrinterState(RMDevice::State state);
    void onPrintProgress(int progress);
    void onTempChanged(double celsius);
    void onError();
    void on_nextButton_clicked();
    void on_mainStack_currentChanged();
    void setupRetina();

private:
    Q_DISABLE_COPY(TestPrintDialog)
    Q_DECLARE_PRIVATE(TestPrintDialog)
    QScopedPointer<TestPrintDialogPrivate> d_ptr;
};
