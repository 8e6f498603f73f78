#pragma once

#include <RMDevice.h>
#include <TrelQt.h>

#include <QIcon>
#include <QMainWindow>
#include <QSharedPointer>
#include <QVector>

#include <memory>

class QDialog;
class QTemporaryFile;
class QTimer;
class RMDeviceRegistry;
class RMPrintTimeEstimator;
class RMSettings;

namespace Ui {
class MainWindow;
}

// The program's one top-level window. It follows the single attached printer
// (or the registry's never-open placeholder when there is none, or more than
// one), shows its state in one status line, polls it every 10 s and prints
// G-code files on it, optionally through the optimizer first.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The first visible dialog among the window's descendants, or null.
    QDialog* activeDialog() const;

public slots:
    void connectedDevicesChanged(QVector<TrelDeviceAddress> ports);
    void deviceStatusChanged(RMDevice::State state, RMDevice::State oldState);
    void deviceConnected(bool connected);

private slots:
    void on_printFileButton_clicked();

private:
    void refreshStatus();
    // Runs the optimizer over `path` behind a progress dialog. Null, after
    // telling the user why, when the result must not be printed.
    std::unique_ptr<QTemporaryFile> optimize(const QString& path);
    void tellUser(const QString& text);

    Ui::MainWindow* ui;
    RMDeviceRegistry* registry;
    QSharedPointer<RMDevice> device;
    RMSettings* settings;
    RMPrintTimeEstimator* estimator;
    QIcon connectedIcon;
    QIcon disconnectedIcon;
    QTimer* pollTimer;
};
