#pragma once

#include <QSettings>

// The per-user settings of the program ("Corvane" / "Zelk", user scope), one
// typed getter and setter per key. Getters read the store every time, so two
// objects in one process see each other's writes.
class RMSettings : public QSettings
{
    Q_OBJECT
    Q_PROPERTY(QString webAccessToken READ webAccessToken WRITE setWebAccessToken NOTIFY
                   webAccessTokenChanged)
    Q_PROPERTY(QString webRefreshToken READ webRefreshToken WRITE setWebRefreshToken NOTIFY
                   webRefreshTokenChanged)
    Q_PROPERTY(bool usbBridge READ usbBridge WRITE setUsbBridge NOTIFY usbBridgeChanged)

public:
    explicit RMSettings(QObject* parent = nullptr);

    QString webUser() const;
    QString webAccessToken() const;
    QString webRefreshToken() const;
    bool usbBridge() const;
    bool optimizeGcode() const;

signals:
    void webUserChanged(QString user);
    void webAccessTokenChanged(QString token);
    void webRefreshTokenChanged(QString token);
    void usbBridgeChanged(bool bridge);

public slots:
    void setWebUser(QString user);
    void setWebAccessToken(QString token);
    void setWebRefreshToken(QString token);
    void setUsbBridge(bool bridge);
    void setOptimizeGcode(bool optimize);
};
