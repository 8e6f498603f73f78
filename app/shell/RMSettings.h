#pragma once

#include <QMetaType>
#include <QSettings>

// The space a printer can print in, in mm, from the origin of its
// coordinates; all zero while the user has not said.
struct RMBuildVolume
{
    double width = 0;
    double depth = 0;
    double height = 0;

    bool isValid() const { return width > 0 && depth > 0 && height > 0; }
    bool operator==(const RMBuildVolume& o) const
    {
        return width == o.width && depth == o.depth && height == o.height;
    }
    bool operator!=(const RMBuildVolume& o) const { return !(*this == o); }
};
Q_DECLARE_METATYPE(RMBuildVolume)

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
    // "build_volume": "WIDTHxDEPTHxHEIGHT" in mm ("220x220x250"). A value
    // that is not three sizes from 1 mm to 10 m reads as not set.
    RMBuildVolume buildVolume() const;

signals:
    void webUserChanged(QString user);
    void webAccessTokenChanged(QString token);
    void webRefreshTokenChanged(QString token);
    void usbBridgeChanged(bool bridge);
    void buildVolumeChanged(RMBuildVolume volume);

public slots:
    void setWebUser(QString user);
    void setWebAccessToken(QString token);
    void setWebRefreshToken(QString token);
    void setUsbBridge(bool bridge);
    void setOptimizeGcode(bool optimize);
    // An invalid volume removes the setting.
    void setBuildVolume(RMBuildVolume volume);
};
