#pragma once

#include <trel/TrelStatus.h>

#include <QMetaType>
#include <QString>

// How one device operation ended: the link library's outcome of the exchange
// that decided it (TrelStatus), the firmware's own return code where the
// printer answered and the operation looks at one, and a text for people.
//
// Three kinds:
// - success: every exchange completed and the printer said yes (isOk());
// - refusal: the printer answered, with a code other than success
//   (status() TREL_SUCCESS, hasFirmwareCode());
// - failure: an exchange failed (status() names how). Where the request may
//   have reached the printer all the same (no answer in time, the printer
//   gone during the exchange, a write cut short), isUnknown() is true: the
//   printer may or may not have acted. Operations that change the printer's
//   settings then read them back and say in text() what the printer reports.
//
// A value type; the text never holds a pass phrase.
class RMOutcome
{
public:
    RMOutcome() = default; // success

    static RMOutcome failure(TrelStatus status, const QString& text);
    static RMOutcome refusal(int firmwareCode, const QString& text);
    // The device is not open: nothing was sent.
    static RMOutcome notOpen();

    bool isOk() const { return m_status == TREL_SUCCESS && m_firmwareCode == 0; }
    TrelStatus status() const { return m_status; }
    // "TREL_ERROR_TIMEOUT"; "TREL_SUCCESS" for a success or a refusal.
    QString statusName() const;
    bool hasFirmwareCode() const { return m_hasFirmwareCode; }
    int firmwareCode() const { return m_firmwareCode; }
    bool isUnknown() const { return m_unknown; }
    // What happened, for a user: "" for a success.
    QString text() const { return m_text; }

    // Adds what was learnt afterwards ("the printer now reports: ...").
    void addDetail(const QString& detail);

private:
    TrelStatus m_status = TREL_SUCCESS;
    int m_firmwareCode = 0;
    bool m_hasFirmwareCode = false;
    bool m_unknown = false;
    QString m_text;
};

// An operation's value and its outcome. `value` is what the operation's plain
// method (the one without "Checked") returns: the printer's answer after a
// success, the method's fallback (false, empty, default) otherwise.
template <typename T>
struct RMResult
{
    RMOutcome outcome;
    T value{};

    bool isOk() const { return outcome.isOk(); }
};

// An operation whose plain method returns nothing has an outcome only.
template <>
struct RMResult<void>
{
    RMOutcome outcome;

    bool isOk() const { return outcome.isOk(); }
};

// The outcome of one firmware command: success, or a failure that names the
// command ("TREL_ERROR_TIMEOUT (No response in time) at servo_dc_config_get").
RMOutcome rmExchangeOutcome(TrelStatus status, const char* command);

Q_DECLARE_METATYPE(RMOutcome)
