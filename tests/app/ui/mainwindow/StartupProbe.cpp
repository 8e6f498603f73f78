// Linked into startup_probe together with the program's own main.cpp: watches
// the windows that the start-up sequence creates and reports them on standard
// output, one line each, and quits the program when told "quit" on standard
// input. The program's code is unchanged; the probe comes in through Qt's
// start-up hook.
//
//   window CLASS                       a top-level widget was created
//   state CLASS X Y VISIBLE MINIMIZED  after it was shown, moved or changed state
//   end WINDOWS                        at exit: how many top-level widgets there were
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace {

QSet<const QObject*>& windowsSeen()
{
    static QSet<const QObject*> seen;
    return seen;
}
int windowCount = 0;

void say(const QByteArray& line)
{
    std::fprintf(stdout, "%s\n", line.constData());
    std::fflush(stdout);
}

void report(QWidget* w)
{
    say("state " + QByteArray(w->metaObject()->className()) + ' ' +
        QByteArray::number(w->pos().x()) + ' ' + QByteArray::number(w->pos().y()) + ' ' +
        QByteArray::number(w->isVisible()) + ' ' + QByteArray::number(w->isMinimized()));
}

class Probe : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (!widget->isWindow() || widget->inherits("QDesktopWidget"))
            return false;
        // Form pages are top-level for a moment, until their stack takes them,
        // and a window keeps dialogs hidden until asked for (the printer
        // logs): a window is a main window, or whatever is shown as one.
        const bool window = widget->inherits("QMainWindow") || event->type() == QEvent::Show;
        if (window && !windowsSeen().contains(watched)) {
            windowsSeen().insert(watched);
            ++windowCount;
            // Named once constructed: during its base's constructor a window
            // still has its base's class.
            QPointer<QWidget> created(widget);
            QTimer::singleShot(0, [created] {
                if (QWidget* w = created.data())
                    say("window " + QByteArray(w->metaObject()->className()));
            });
            connect(watched, &QObject::destroyed, [watched] { windowsSeen().remove(watched); });
        }
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::Move:
        case QEvent::WindowStateChange: {
            // Reported once the event has been handled.
            QPointer<QWidget> guard(widget);
            QTimer::singleShot(0, [guard] {
                if (guard)
                    report(guard);
            });
            break;
        }
        default:
            break;
        }
        return false;
    }
};

void installProbe()
{
    // Owned by the application object, so that it goes with it.
    auto* probe = new Probe;
    probe->setParent(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(probe);
    auto* input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, probe);
    QObject::connect(input, &QSocketNotifier::activated, [input] {
        char buffer[64];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input->setEnabled(false);
            return;
        }
        if (QByteArray(buffer, int(n)).contains("quit"))
            QCoreApplication::quit();
    });
    qAddPostRoutine([] { say("end " + QByteArray::number(windowCount)); });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
