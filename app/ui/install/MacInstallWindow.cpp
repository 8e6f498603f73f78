#include "MacInstallWindow.h"

#include "ui_MacInstallWindow.h"

#include <Installer.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFutureWatcher>
#include <QMessageBox>
#include <QPainter>
#include <QTimerEvent>
#include <QtConcurrent>

// Resources of a static library register only when asked to, from the
// global namespace.
static void initInstallResources()
{
    Q_INIT_RESOURCE(install);
}

namespace {

// Covers the window while a copy runs: dims it, takes the clicks and turns a
// ring of dots.
class BusyOverlay : public QWidget
{
public:
    explicit BusyOverlay(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("busyOverlay"));
        setAttribute(Qt::WA_NoSystemBackground);
        hide();
    }

    void start()
    {
        setGeometry(parentWidget()->rect());
        raise();
        show();
        if (!timer)
            timer = startTimer(80);
    }

    void stop()
    {
        hide();
        if (timer)
            killTimer(timer);
        timer = 0;
    }

protected:
    void timerEvent(QTimerEvent*) override
    {
        step = (step + 1) % Dots;
        update();
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), QColor(255, 255, 255, 170));
        p.translate(rect().center());
        p.setPen(Qt::NoPen);
        for (int i = 0; i < Dots; ++i) {
            // The dot at the head is darkest; the tail fades.
            const int age = (step - i + Dots) % Dots;
            p.setBrush(QColor(255, 0, 136, 255 - age * 200 / Dots));
            p.drawEllipse(QPointF(0, -22), 4.5, 4.5);
            p.rotate(360.0 / Dots);
        }
    }

private:
    static constexpr int Dots = 12;
    int timer = 0;
    int step = 0;
};

} // namespace

class MacInstallWindowPrivate
{
public:
    explicit MacInstallWindowPrivate(MacInstallWindow* window) : q(window) {}

    QLabel* stepLabel(int page) const;
    void setBusy(bool busy);
    // Runs one copy on a worker; then() gets its result on the GUI thread.
    void copy(bool (*function)(const QDir&, const QDir&), const QString& destination,
              void (MacInstallWindowPrivate::*then)(bool));
    void systemCopyDone(bool ok);
    void userCopyDone(bool ok);
    void finish(const QString& destination);

    MacInstallWindow* const q;
    BusyOverlay* overlay = nullptr;
    QString source = Installer::bundleDirectory();
    QString systemDestination = Installer::systemDirectory();
    QString userDestination = Installer::userDirectory();
    bool busy = false;
};

QLabel* MacInstallWindowPrivate::stepLabel(int page) const
{
    const QList<QLabel*> steps{q->ui->introStep, q->ui->installStep, q->ui->summaryStep};
    return steps.value(page);
}

void MacInstallWindowPrivate::setBusy(bool on)
{
    busy = on;
    if (on)
        overlay->start();
    else
        overlay->stop();
    q->on_mainStack_currentChanged();
}

void MacInstallWindowPrivate::copy(bool (*function)(const QDir&, const QDir&),
                                   const QString& destination,
                                   void (MacInstallWindowPrivate::*then)(bool))
{
    setBusy(true);
    auto* watcher = new QFutureWatcher<bool>(q);
    QObject::connect(watcher, &QFutureWatcherBase::finished, q, [this, watcher, then] {
        watcher->deleteLater();
        (this->*then)(watcher->result());
    });
    const QString from = source;
    watcher->setFuture(
        QtConcurrent::run([function, from, destination] { return function(from, destination); }));
}

void MacInstallWindowPrivate::systemCopyDone(bool ok)
{
    setBusy(false);
    if (ok) {
        finish(systemDestination);
        return;
    }
    auto* box = new QMessageBox(
        QMessageBox::Warning, q->windowTitle(),
        MacInstallWindow::tr("Cannot acquire admin rights; the application will be installed "
                             "in the user directory."),
        QMessageBox::Ok, q);
    box->setObjectName(QStringLiteral("fallbackMessage"));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, q, &MacInstallWindow::copyToUser);
    box->open();
}

void MacInstallWindowPrivate::userCopyDone(bool ok)
{
    setBusy(false);
    if (ok) {
        finish(userDestination);
        return;
    }
    // Both copies failed: there is no installation to report on. The user
    // stays on the installation page and may try again or leave.
    auto* box = new QMessageBox(
        QMessageBox::Critical, q->windowTitle(),
        MacInstallWindow::tr("The application could not be installed in %1.").arg(userDestination),
        QMessageBox::Ok, q);
    box->setObjectName(QStringLiteral("failureMessage"));
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MacInstallWindowPrivate::finish(const QString& destination)
{
    qDebug() << "Installed in" << destination;
    // Without a launcher the user would have to find the program by hand.
    Installer::writeDesktopEntry(destination);
    q->ui->mainStack->setCurrentWidget(q->ui->summaryPage);
    emit q->installed(destination);
}

MacInstallWindow::MacInstallWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MacInstallWindow), d(new MacInstallWindowPrivate(this))
{
    initInstallResources();
    ui->setupUi(this);
    setWindowTitle(tr("Install the Zelk - %1").arg(QCoreApplication::applicationVersion()));
    d->overlay = new BusyOverlay(this);
    ui->mainStack->setCurrentWidget(ui->introPage);
    on_mainStack_currentChanged();
}

MacInstallWindow::~MacInstallWindow() = default;

QString MacInstallWindow::source() const
{
    return d->source;
}

void MacInstallWindow::setSource(const QString& bundle)
{
    d->source = bundle;
}

QString MacInstallWindow::systemDestination() const
{
    return d->systemDestination;
}

void MacInstallWindow::setSystemDestination(const QString& path)
{
    d->systemDestination = path;
}

QString MacInstallWindow::userDestination() const
{
    return d->userDestination;
}

void MacInstallWindow::setUserDestination(const QString& path)
{
    d->userDestination = path;
}

bool MacInstallWindow::isBusy() const
{
    return d->busy;
}

void MacInstallWindow::on_nextButton_clicked()
{
    if (d->busy)
        return;
    QWidget* page = ui->mainStack->currentWidget();
    if (page == ui->installPage)
        copytoSystem();
    else if (page == ui->summaryPage)
        close();
    else
        ui->mainStack->setCurrentIndex(ui->mainStack->currentIndex() + 1);
}

void MacInstallWindow::on_prevButton_clicked()
{
    if (d->busy || ui->mainStack->currentIndex() == 0)
        return;
    ui->mainStack->setCurrentIndex(ui->mainStack->currentIndex() - 1);
}

void MacInstallWindow::on_mainStack_currentChanged()
{
    const int current = ui->mainStack->currentIndex();
    for (int page = 0; page < ui->mainStack->count(); ++page) {
        QLabel* step = d->stepLabel(page);
        QFont font = step->font();
        font.setBold(page == current);
        step->setFont(font);
    }
    // What the system's password dialog will ask, said before it comes up:
    // that dialog is not ours, and before the installation no polkit action
    // of ours can exist to word it, so it names only the program it runs.
    if (ui->mainStack->currentWidget() == ui->installPage)
        ui->privilegeText->setText(
            tr("Continue installs the program in %1 for everyone on this computer, with the rule "
               "that lets you use the printer. The system then asks for an administrator's "
               "password to run %2, which makes the copy. Without the password the program is "
               "installed for you alone, in %3.")
                .arg(QDir::toNativeSeparators(d->systemDestination),
                     QDir::toNativeSeparators(Installer::systemInstallHelper(d->source)),
                     QDir::toNativeSeparators(d->userDestination)));
    // Once installed there is nothing to go back to.
    const bool summary = ui->mainStack->currentWidget() == ui->summaryPage;
    ui->prevButton->setEnabled(!d->busy && current > 0 && !summary);
    ui->nextButton->setEnabled(!d->busy);
}

void MacInstallWindow::copytoSystem()
{
    d->copy(&::copyToSystem, d->systemDestination, &MacInstallWindowPrivate::systemCopyDone);
}

void MacInstallWindow::copyToUser()
{
    d->copy(&::copyToUser, d->userDestination, &MacInstallWindowPrivate::userCopyDone);
}

void MacInstallWindow::closeEvent(QCloseEvent* event)
{
    // A copy cannot be called back half-way; it ends by itself.
    if (d->busy) {
        event->ignore();
        return;
    }
    if (ui->mainStack->currentWidget() == ui->summaryPage) {
        event->accept();
        return;
    }
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, windowTitle(),
        tr("The Zelk configuration is not complete yet.\nAre you sure you want to exit?"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        event->accept();
    else
        event->ignore();
}

void MacInstallWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (d->overlay->isVisible())
        d->overlay->setGeometry(rect());
}
