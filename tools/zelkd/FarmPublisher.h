#pragma once

#include "EventBus.h"
#include "Farm.h"
#include "MqttClient.h"
#include "PrinterHub.h"
#include "Settings.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTimer>

namespace zelkd {

class FileStore;

// zelkd in its farm: one broker connection per host (MqttClient) that
//  - publishes what the event bus carries: the host's availability (its
//    will says offline), each printer's availability and state (retained,
//    on every change, again every StateRepeatMs while it prints), its
//    events, and Home Assistant's discovery configurations (again whenever
//    Home Assistant announces itself);
//  - takes commands for its printers and hands them to the hub's command
//    path, answering each with its outcome;
//  - reads the whole farm's retained topics into a FarmTable for the page
//    (farmJson(), and "farm" events on the bus).
// Main thread; farmJson() from any thread. The topic layout: Farm.h.
class FarmPublisher : public QObject
{
    Q_OBJECT

public:
    static constexpr int StateRepeatMs = 25000;
    static constexpr int MaxCommandBytes = 64 * 1024;
    // After a connect, how long the printers attached here have to appear
    // before the broker's older news of this host is put right.
    static constexpr int ReconcileMs = 8000;

    FarmPublisher(const Settings& settings, PrinterHub* hub, FileStore* files, EventBus* bus,
                  QObject* parent = nullptr);
    ~FarmPublisher() override;

    void start();
    // Says the host goes offline and disconnects (the will stays unsent).
    void stop();

    // {"connected", "broker", "host", "printers": [...]}: the farm as this
    // host's connection sees it.
    QJsonObject farmJson() const;

private:
    struct Printer
    {
        QString serial;
        bool attached = false;
        bool forgotten = false;
        farm::PrinterIdentity identity;
        QJsonObject lastEvent; // the bus's last "printer" JSON
        int temperature = 0;   // whole degrees, as published
        QByteArray stateKey;   // the state payload without its time
        bool printing = false;
        bool discoveryKnown = false; // configs published for this identity
    };

    void onBusEvent(const Event& event);
    void onConnected(bool mqtt5);
    void onDisconnected(const QString& why);
    void onMessage(const MqttMessage& message);

    void printerChanged(const QJsonObject& printerJson);
    void publishStatus(const Printer& p);
    void publishState(Printer& p, bool force);
    void publishDiscovery(Printer& p);
    void publishEvent(const QJsonObject& event);
    void publishAll();
    void repeatPrinting();
    void forget(const QString& serial, std::function<void(bool, const QString&)> done);
    void reconcile();

    struct Request;
    void command(const MqttMessage& message, const QString& serial, bool hostLevel);
    void reply(const Request& request, const QString& outcome, const QString& reason);

    const Settings& settings;
    PrinterHub* const hub;
    FileStore* const files;
    EventBus* const bus;
    const farm::Topics topics;
    MqttClient client;
    farm::FarmTable table;
    QHash<QString, Printer> printers; // by serial
    QTimer repeat;
    QTimer discoveryAgain;
    // What the broker kept of this host's printers from an earlier run: a
    // printer that did not come back is said offline (not forgotten: that
    // is the operator's call), once the printers here had time to appear.
    QSet<QString> retainedHere;
    QTimer reconcileTimer;
    int busHandle = 0;
    QString lastTrouble; // the last reason the broker was out of reach, said once
    bool everConnected = false;

    friend struct Commands;
};

} // namespace zelkd
