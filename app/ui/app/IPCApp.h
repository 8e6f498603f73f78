#pragma once

#include <QApplication>
#include <QString>

#include <memory>

class IPCAppPrivate;

// The application object of a program that runs once per user: the first
// process of a name is the master; a later one asks it to come to the front
// (raiseMaster) and leaves. Constructing it decides the role and may block
// (see IPCChannel).
class IPCApp : public QApplication
{
    Q_OBJECT
public:
    // An empty name stands for the executable's full path.
    IPCApp(int& argc, char** argv, const QString& name = QString());
    ~IPCApp() override;

    bool isMaster() const;
    // Asks the master to come to the front and waits up to 30 s for its
    // answer. False in the master itself, without a master, or without answer.
    bool raiseMaster();
    // Decides the role again with a fresh channel of the same name: for a
    // process whose master stopped answering.
    void restartIPC();

signals:
    // In the master: another process asked for the window.
    void raise();

private:
    friend class IPCAppPrivate;
    // Not d_ptr: that name is QObject's, and QApplication's private part
    // lives there.
    std::unique_ptr<IPCAppPrivate> d;
};
