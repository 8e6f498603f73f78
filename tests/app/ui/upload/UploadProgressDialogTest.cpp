// The upload progress the window and the test print show: its text, no way to
// cancel an upload halfway, the job's percent, and its end with the job
// whichever way the upload ended.
#include <RMDevice.h>
#include <UploadProgressDialog.h>

#include <QPointer>
#include <QPushButton>
#include <QtTest>

class UploadProgressDialogTest : public QObject
{
    Q_OBJECT
private slots:
    void followsTheJobAndGoesWithIt();
};

void UploadProgressDialogTest::followsTheJobAndGoesWithIt()
{
    QWidget window;
    window.show();
    auto* job = new RMJobSend(nullptr);
    auto* dialog = new UploadProgressDialog(job, &window);
    const QPointer<UploadProgressDialog> alive(dialog);

    QTRY_VERIFY(dialog->isVisible());
    QCOMPARE(dialog->labelText(), QString("Uploading file to printer..."));
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(dialog->value(), 0);
    QVERIFY(!dialog->findChild<QPushButton*>()); // no cancel

    emit job->progressChanged(40);
    QCOMPARE(dialog->value(), 40);
    // 100 percent is not the end of the upload: the job says when it ended.
    emit job->progressChanged(100);
    QVERIFY(dialog->isVisible());

    delete job; // done, failed or its printer gone: the job goes
    QVERIFY(alive);
    QVERIFY(!dialog->isVisible()); // closed at once,
    QTRY_VERIFY(!alive);           // and deleted with the next events
}

QTEST_MAIN(UploadProgressDialogTest)
#include "UploadProgressDialogTest.moc"
