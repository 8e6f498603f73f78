#include <trel/TrelClient.h>

TrelClient::TrelClient()
    : TrelJobInterface(), TrelCommandInterface(static_cast<TrelTransport&>(*this)),
      TrelEventInterface(static_cast<TrelTransport&>(*this)), TrelTransport()
{}

TrelClient::~TrelClient()
{
    stop_callbacks();
}

void TrelClient::device_connected(TrelDeviceAddress) {}

void TrelClient::device_disconnected(TrelDeviceAddress) {}

void TrelClient::start_callbacks()
{
    start_job_callbacks();
    TrelTransport::start_callbacks();
}

void TrelClient::stop_callbacks()
{
    stop_job_callbacks();
    TrelTransport::stop_callbacks();
}
