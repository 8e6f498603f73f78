#include "RMOutcome.h"

RMOutcome RMOutcome::failure(TrelStatus status, const QString& text)
{
    RMOutcome o;
    o.m_status = status == TREL_SUCCESS ? TREL_ERROR_OTHER : status;
    // Refused before anything was written: the printer cannot have acted.
    o.m_unknown = status != TREL_ERROR_INVALID_ARGUMENT && status != TREL_ERROR_NOT_ALLOWED;
    o.m_text = text;
    return o;
}

RMOutcome RMOutcome::refusal(int firmwareCode, const QString& text)
{
    RMOutcome o;
    o.m_firmwareCode = firmwareCode;
    o.m_hasFirmwareCode = true;
    o.m_text = text;
    return o;
}

RMOutcome RMOutcome::notOpen()
{
    RMOutcome o;
    o.m_status = TREL_ERROR_NO_DEVICE;
    o.m_text = QStringLiteral("the printer is not connected (TREL_ERROR_NO_DEVICE)");
    return o;
}

QString RMOutcome::statusName() const
{
    return QString::fromLatin1(trel_status_name(m_status));
}

void RMOutcome::addDetail(const QString& detail)
{
    m_text = m_text.isEmpty() ? detail : m_text + QStringLiteral("; ") + detail;
}

RMOutcome rmExchangeOutcome(TrelStatus status, const char* command)
{
    if (status == TREL_SUCCESS)
        return RMOutcome();
    return RMOutcome::failure(status, QStringLiteral("%1 (%2) in %3")
                                          .arg(QLatin1String(trel_status_name(status)),
                                               QLatin1String(trel_strerror(status)),
                                               QLatin1String(command)));
}
