#pragma once

#include <QByteArray>
#include <QString>

namespace zelkd {

// The API key every request must carry. Made on first start from the
// system's random source and kept in a file that only the service's account
// can read; compared in constant time.
class ApiKey
{
public:
    // Reads the key from `path`, or makes one and writes it there (the file
    // created with mode 0600, its folder with 0700 if missing). False with
    // `error` when neither works, or when an existing file is readable by
    // others (a key that others can read is no key).
    bool loadOrCreate(const QString& path, QString& error);
    // Reads an existing key only (for --show-key).
    bool load(const QString& path, QString& error);

    const QByteArray& value() const { return key; }
    bool isSet() const { return !key.isEmpty(); }

    // Constant time in the length of what is compared: both sides are hashed
    // first, so even the key's length does not leak.
    bool matches(const QByteArray& candidate) const;

    // 32 characters from [A-Za-z0-9] (about 190 bits), from getrandom().
    static QByteArray generate();

    // The key as a QR code of Unicode half blocks, for a phone's camera.
    static QString qrCode(const QByteArray& text, bool ansiColours);

private:
    QByteArray key;
    QByteArray digest; // SHA-256 of the key
};

// `text` with the value of every apikey=... query parameter replaced by
// asterisks: what a URL may carry into a log.
QString maskApiKey(const QString& text);

} // namespace zelkd
