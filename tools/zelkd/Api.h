#pragma once

#include "HttpServer.h"

namespace zelkd {

struct Calls;
class ApiKey;
class FarmPublisher;
class FileStore;
class History;
class PrinterHub;
struct Settings;

// The HTTP API: the printer-host API subset that slicers speak, zelkd's own
// calls under /api/zelkd, the event stream, and the page's static files.
// Runs on HTTP threads; reads printers from the hub's copies and hands
// commands to the main thread.
class Api : public Handler
{
public:
    Api(const Settings& settings, const ApiKey& key, PrinterHub* hub, FileStore* files,
        History* history, EventBus* bus);

    void begin(Exchange& exchange) override;
    void finish(Exchange& exchange) override;
    // The farm this host's broker connection sees (none: no broker). Set
    // before the server starts.
    void setFarm(const FarmPublisher* publisher) { farm = publisher; }

    struct Route;
    struct Call;

private:
    friend struct Calls;
    const Settings& settings;
    const ApiKey& key;
    PrinterHub* const hub;
    FileStore* const files;
    History* const history;
    EventBus* const bus;
    const FarmPublisher* farm = nullptr;
};

} // namespace zelkd
