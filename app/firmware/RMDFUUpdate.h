#pragma once

#include <QObject>
#include <QScopedPointer>

class RMDFUUpdatePrivate;

// One firmware flash by dfu-util, reported on the thread that started it.
// Running until it ends in exactly one of success() or error(); the flags
// then stay as they are. It sets no time limit of its own (a flash takes as
// long as the printer's flash takes to write): a caller that gives up on a
// dfu-util that does not end calls stop().
class RMDFUUpdate : public QObject
{
    Q_OBJECT

public:
    ~RMDFUUpdate() override;

    // Percent, from dfu-util's own progress lines.
    int progress() const;
    bool isSuccess() const;
    bool isError() const;

    // Ends a dfu-util that is still running, as cleanly as it lets itself be
    // ended: SIGTERM first, SIGKILL if it is still there KILL_AFTER_MS later.
    // The update then ends as its process does (error(), or success() when
    // the whole image had been written). Returns at once.
    void stop();
    static constexpr int KILL_AFTER_MS = 3000;

signals:
    void progressChanged(int progress);
    void success();
    void error();

private:
    explicit RMDFUUpdate(QObject* parent);
    Q_DISABLE_COPY(RMDFUUpdate)
    Q_DECLARE_PRIVATE(RMDFUUpdate)
    QScopedPointer<RMDFUUpdatePrivate> d_ptr;
    friend class RMDFUDevice; // starts the update's process
};
