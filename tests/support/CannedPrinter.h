#pragma once

// A printer on the virtual bus whose status the test writes: every status
// request is answered with the status last reported, and a report is also
// sent unasked, as the firmware does on a change. For driving windows through
// exact states and temperatures that the simulated printer would only pass
// through.

#include "RawPrinter.h"

#include <QString>

#include <cstdio>
#include <mutex>
#include <string>

namespace zelktest {

struct CannedStatus
{
    QString state = QStringLiteral("IDLE");
    double celsius = 24.0;
    int progress = 0;
    int error = 0;
    QString firmware = QStringLiteral("1.2.0");
};

inline std::string cannedJson(const CannedStatus& s)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"metadata\":{\"version\":1,\"type\":\"status\"},\"printer\":{\"model_name\":"
                  "\"Zelk\",\"cpu_id\":\"C0FFEE\",\"firmware\":{\"name\":\"zelk-fw\",\"version\":"
                  "\"%s\"},\"accept_version\":1},\"status\":{\"state\":\"ZKSTA_%s\","
                  "\"extruder_temperature\":%.2f},\"job\":{\"progress\":%d},\"error\":%d}",
                  qPrintable(s.firmware), qPrintable(s.state), s.celsius, s.progress, s.error);
    return text;
}

class CannedPrinter : public RawPrinter
{
public:
    explicit CannedPrinter(uint8_t address = 5) : RawPrinter(1, address)
    {
        setResponder([this](uint8_t endpoint, const std::string& write) {
            if (endpoint != 0x04 || write.find("\"type\":\"status\"") == std::string::npos)
                return std::string();
            std::lock_guard<std::mutex> lock(mutex);
            return cannedJson(current);
        });
    }

    // The status that answers requests from now on, sent at once as well.
    void report(const CannedStatus& s)
    {
        answerWith(s);
        send(0x83, cannedJson(s));
    }

    // Only the answer to requests: before plug(), or to change quietly.
    void answerWith(const CannedStatus& s)
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = s;
    }

private:
    std::mutex mutex; // guards current
    CannedStatus current;
};

} // namespace zelktest
