#pragma once

#include "IPCApp.h"
#include "IPCChannel.h"

class IPCAppPrivate
{
public:
    IPCAppPrivate(IPCApp* q, const QString& name);
    IPCAppPrivate(const IPCAppPrivate&) = delete;
    IPCAppPrivate& operator=(const IPCAppPrivate&) = delete;

    IPCApp* const q;
    IPCChannel channel;
};
