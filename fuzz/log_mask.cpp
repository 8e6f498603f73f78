// The log's secret masking (Logging::maskSecrets): every message the program
// logs passes it, and messages carry the printer's JSON (Wi-Fi settings with
// their keys) and texts from users. Any text must come through; and a secret
// stored under a key or password member must not reach the log, whatever text
// stands before it, in the plain form and in the quoted form the debug stream
// gives a QString.
//
// Input: one byte of choices, then the text before the secret, a zero byte
// and the secret.
//   bits 0-2: the member's name
//   bit 3-4:  blanks before and after the colon
#include "FuzzSupport.h"

#include <Logging_p.h>

#include <QDebug>

#include <algorithm>

namespace {

using zelkfuzz::check;

QString jsonEscaped(const QString& text)
{
    QString out;
    for (QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + QString(c);
        else if (c.unicode() < 0x20)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// The form qDebug() << QString gives: in quotes, with its own escapes.
QString debugQuoted(const QString& text)
{
    QString out;
    QDebug(&out).nospace() << text;
    return out;
}

// Whether the masked text still shows the secret, whole or a stretch of it
// long enough to matter (Window characters). Only stretches the check can
// speak for count: ones that occur once in the text (in the value), and that
// the masked form cannot spell by itself (the mask, quotes, colon, escapes).
bool leaks(const QString& secret, const QString& text, const QString& masked)
{
    constexpr int Window = 8;
    const int window = std::min<int>(Window, secret.size());
    if (window < 3)
        return false;
    for (int i = 0; i + window <= secret.size(); ++i) {
        const QString stretch = secret.mid(i, window);
        if (stretch.contains(QLatin1Char('*')) || stretch.contains(QLatin1Char('"')) ||
            stretch.contains(QLatin1Char(':')) || stretch.contains(QLatin1Char('\\')) ||
            text.count(stretch) != 1)
            continue;
        if (masked.contains(stretch))
            return true;
    }
    return false;
}

const char* const Members[] = {"key",      "auto_connect_key", "password", "Password",
                               "wifi_KEY", "connect_t_key",    "pass_key", "new_password"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    zelkfuzz::Input in(data, size);
    const uint8_t choices = in.byte();
    const std::string rest = in.rest();

    // Any text at all.
    const QString whole = QString::fromUtf8(rest.data(), int(rest.size()));
    Logging::maskSecrets(whole);
    Logging::maskSecrets(debugQuoted(whole));

    const size_t zero = rest.find('\0');
    if (zero == std::string::npos)
        return 0;
    const QString before = QString::fromUtf8(rest.data(), int(zero));
    const QString secret = QString::fromUtf8(rest.data() + zero + 1, int(rest.size() - zero - 1));
    const QString member = QLatin1String(Members[choices & 7]);
    const QString colon = QString((choices & 8) ? QStringLiteral(" :") : QStringLiteral(":")) +
                          QString((choices & 16) ? QStringLiteral("  ") : QString());

    const QString value = jsonEscaped(secret);
    const QString text = before + QStringLiteral("{\"") + member + QLatin1Char('"') + colon +
                         QLatin1Char('"') + value + QStringLiteral("\"}");
    const QString masked = Logging::maskSecrets(text);
    if (leaks(value, text, masked))
        zelkfuzz::fail("the secret reached the log: " + masked.toStdString());

    const QString quoted = debugQuoted(text);
    const QString quotedValue = debugQuoted(value).mid(1).chopped(1);
    const QString maskedQuoted = Logging::maskSecrets(quoted);
    if (leaks(quotedValue, quoted, maskedQuoted))
        zelkfuzz::fail("the secret reached the log (debug form): " + maskedQuoted.toStdString());
    return 0;
}
