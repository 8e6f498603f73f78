#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelCommandInterface.h>
#include <trel/TrelEventInterface.h>
#include <trel/TrelJobInterface.h>
#include <trel/TrelTransport.h>

// The library's complete client: one object that receives every callback and
// offers every operation. An application derives from it and overrides what
// it needs: device_connected / device_disconnected (each on a new thread),
// StatusReceived / JobDataReceived and the firmware events (on the USB
// thread; return quickly).
//
// Bases are built in this order: the job channel, the command interface, the
// event interface, then the transport, whose registration may announce
// printers at once. From the first registration on, callbacks can arrive:
// whatever a derived class needs in them must exist before this part is built.
// A derived class calls start_callbacks() last in its constructor (nothing
// reaches it before) and stop_callbacks() first in its destructor.
class TREL_EXPORT TrelClient : public TrelJobInterface,
                               public TrelCommandInterface,
                               public TrelEventInterface,
                               public TrelTransport
{
public:
    TrelClient();
    ~TrelClient() override;

    void device_connected(TrelDeviceAddress address) override;
    void device_disconnected(TrelDeviceAddress address) override;

protected:
    // Lets the callbacks through: held connect notices go out in order.
    void start_callbacks();
    // Ends every callback of both channels and waits for connect and
    // disconnect notices already running. Idempotent.
    void stop_callbacks();
};
