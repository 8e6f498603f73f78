#pragma once

#include <QObject>

class RMDFUUpdatePrivate;

// One firmware flash by dfu-util, reported on the thread that started it.
// Running until it ends in exactly one of success() or error(); the flags
// then stay as they are. There is no time-out: dfu-util ends on its own
// when the printer stops answering.
class RMDFUUpdate : public QObject
{
    Q_OBJECT

public:
    ~RMDFUUpdate() override;

    // Percent, from dfu-util's own progress lines.
    int progress() const;
    bool isSuccess() const;
    bool isError() const;

signals:
    void progressChanged(int progress);
    void success();
    void error();

private:
    explicit RMDFUUpdate(QObject* parent);
    RMDFUUpdatePrivate* d;
    friend class RMDFUUpdatePrivate;
    friend class RMDFUDevice;
};
