#include "ApiKey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <qrencode.h>

#include <cerrno>
#include <cstring>

#include <sys/random.h>
#include <sys/stat.h>

namespace zelkd {

namespace {

constexpr int KeyLength = 32;
const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace

QByteArray ApiKey::generate()
{
    QByteArray out;
    // Rejection sampling keeps every character equally likely: 62 does not
    // divide 256, so bytes from 248 up are drawn again.
    while (out.size() < KeyLength) {
        unsigned char buffer[64];
        ssize_t n;
        do {
            n = ::getrandom(buffer, sizeof buffer, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            qFatal("zelkd: no random source: %s", std::strerror(errno));
        for (ssize_t i = 0; i < n && out.size() < KeyLength; ++i)
            if (buffer[i] < 248)
                out.append(Alphabet[buffer[i] % 62]);
    }
    return out;
}

bool ApiKey::load(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the API key %1: %2").arg(path, file.errorString());
        return false;
    }
    struct stat st;
    if (::fstat(file.handle(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO))) {
        error = QStringLiteral("the API key %1 is readable by others (chmod 600 it, or delete "
                               "it for a new one)")
                    .arg(path);
        return false;
    }
    const QByteArray text = file.read(1024).trimmed();
    if (text.size() < 16) {
        error = QStringLiteral("the API key in %1 is shorter than 16 characters").arg(path);
        return false;
    }
    key = text;
    digest = sha256(key);
    return true;
}

bool ApiKey::loadOrCreate(const QString& path, QString& error)
{
    if (QFileInfo::exists(path))
        return load(path, error);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir(folder).exists()) {
        if (!QDir().mkpath(folder)) {
            error = QStringLiteral("cannot create %1").arg(folder);
            return false;
        }
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner);
    }
    const QByteArray made = generate();
    // Made private before the key is written into it, and renamed into place
    // whole: nobody ever sees a readable or half-written key.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(made + '\n') != made.size() + 1 || !file.commit()) {
        error = QStringLiteral("cannot write the API key %1: %2").arg(path, file.errorString());
        return false;
    }
    key = made;
    digest = sha256(key);
    return true;
}

bool ApiKey::matches(const QByteArray& candidate) const
{
    if (digest.isEmpty())
        return false;
    const QByteArray other = sha256(candidate);
    unsigned char difference = 0;
    for (int i = 0; i < digest.size(); ++i)
        difference |= static_cast<unsigned char>(digest.at(i) ^ other.at(i));
    return difference == 0;
}

QString ApiKey::qrCode(const QByteArray& text, bool ansiColours)
{
    QRcode* code = QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M);
    if (!code)
        return QString();
    const int width = code->width;
    constexpr int quiet = 2; // light modules around the code
    auto dark = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= width)
            return false;
        return (code->data[y * width + x] & 1) != 0;
    };
    // Two rows per text line: the upper half block draws the upper module.
    // Light modules are drawn (the terminal's foreground), dark ones left
    // blank; with colours the foreground is white on black whatever the
    // terminal's scheme.
    QString out;
    for (int y = -quiet; y < width + quiet; y += 2) {
        if (ansiColours)
            out += QStringLiteral("\x1b[40;97m");
        for (int x = -quiet; x < width + quiet; ++x) {
            const bool top = !dark(x, y), bottom = !dark(x, y + 1);
            out += top && bottom ? QChar(0x2588)
                   : top         ? QChar(0x2580)
                   : bottom      ? QChar(0x2584)
                                 : QChar(' ');
        }
        if (ansiColours)
            out += QStringLiteral("\x1b[0m");
        out += QLatin1Char('\n');
    }
    QRcode_free(code);
    return out;
}

QString maskApiKey(const QString& text)
{
    static const QRegularExpression parameter(QStringLiteral("([?&;]apikey=)[^&#\\s\"]*"),
                                              QRegularExpression::CaseInsensitiveOption);
    QString masked = text;
    masked.replace(parameter, QStringLiteral("\\1********"));
    return masked;
}

} // namespace zelkd
