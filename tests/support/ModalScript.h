#pragma once

// Drives a modal dialog from inside its own event loop. The code under test
// calls exec() and does not return until the dialog closes, so the test
// writes its steps beforehand: each waits for a condition, then acts. A
// timer checks the current step every 10 ms; the action runs from the event
// loop, not from the timer, so that an action may itself open a modal box.
// A script that does not finish in time closes every modal widget, so that
// exec() returns and the test can fail with the step it was waiting for.

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

namespace zelktest {

template <typename T>
T* activeModal()
{
    return qobject_cast<T*>(QApplication::activeModalWidget());
}

inline bool answerMessageBox(QMessageBox::StandardButton button);

class ModalScript : public QObject
{
public:
    explicit ModalScript(int timeoutMs = 30000) : limit(timeoutMs)
    {
        timer.setInterval(10);
        timer.callOnTimeout([this] { check(); });
    }

    // Waits until `ready` holds, then runs `act` (if any).
    ModalScript& when(const QString& what, std::function<bool()> ready,
                      std::function<void()> act = {})
    {
        steps.push_back({what, std::move(ready), std::move(act)});
        return *this;
    }

    // Waits for a message box, keeps its text in `told` and presses OK.
    ModalScript& whenWarning(QString& told)
    {
        return when(
            "the warning", [] { return activeModal<QMessageBox>() != nullptr; },
            [&told] {
                told = activeModal<QMessageBox>()->text();
                answerMessageBox(QMessageBox::Ok);
            });
    }

    void start()
    {
        clock.start();
        timer.start();
    }

    bool finished() const { return next == steps.size(); }
    // What the script was waiting for when it gave up, for the failure.
    QString stuckAt() const
    {
        return finished() ? QString()
                          : QStringLiteral("step %1: %2").arg(next + 1).arg(steps[next].what);
    }

private:
    struct Step
    {
        QString what;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    void check()
    {
        if (finished()) {
            timer.stop();
            return;
        }
        if (clock.elapsed() > limit) {
            timer.stop();
            // Innermost first, until the dialog under test has gone too.
            while (QWidget* modal = QApplication::activeModalWidget()) {
                if (auto* dialog = qobject_cast<QDialog*>(modal))
                    dialog->reject();
                else
                    modal->close();
                QApplication::processEvents();
                if (QApplication::activeModalWidget() == modal)
                    break;
            }
            return;
        }
        Step& step = steps[next];
        if (!step.ready())
            return;
        ++next;
        if (step.act)
            QTimer::singleShot(0, this, step.act);
    }

    QTimer timer;
    QElapsedTimer clock;
    const qint64 limit;
    std::vector<Step> steps;
    size_t next = 0;
};

// Presses `button` of the message box that is open, if one is.
inline bool answerMessageBox(QMessageBox::StandardButton button)
{
    auto* box = activeModal<QMessageBox>();
    if (!box || !box->button(button))
        return false;
    box->button(button)->click();
    return true;
}

} // namespace zelktest
