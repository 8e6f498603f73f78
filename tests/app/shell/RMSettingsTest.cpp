// The settings store, in a scratch location: QStandardPaths' test mode and a
// throw-away home keep the real user's settings out of reach.
#include <RMSettings.h>

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class RMSettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit());
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path() + "/config");
    }

    void freshAccountReadsEmpty()
    {
        RMSettings settings;
        QVERIFY(settings.fileName().startsWith(home.path()));
        QCOMPARE(settings.webUser(), QString());
        QCOMPARE(settings.webAccessToken(), QString());
        QCOMPARE(settings.webRefreshToken(), QString());
        QCOMPARE(settings.usbBridge(), false);
        QCOMPARE(settings.optimizeGcode(), false);
    }

    void settersSignalOnlyChanges()
    {
        RMSettings settings;
        QSignalSpy bridge(&settings, &RMSettings::usbBridgeChanged);
        settings.setUsbBridge(false); // already false
        QCOMPARE(bridge.count(), 0);
        settings.setUsbBridge(true);
        QCOMPARE(bridge.count(), 1);
        QCOMPARE(bridge.at(0).at(0).toBool(), true);

        QSignalSpy user(&settings, &RMSettings::webUserChanged);
        settings.setWebUser("ada");
        settings.setWebUser("ada");
        QCOMPARE(user.count(), 1);

        QSignalSpy token(&settings, &RMSettings::webAccessTokenChanged);
        QVERIFY(settings.setProperty("webAccessToken", "t0ken"));
        QCOMPARE(token.count(), 1);
        QCOMPARE(settings.property("webAccessToken").toString(), QString("t0ken"));
    }

    void optimizeGcodeAlwaysWritesAndNeverSignals()
    {
        RMSettings settings;
        QSignalSpy any(&settings, SIGNAL(usbBridgeChanged(bool)));
        settings.setOptimizeGcode(true);
        settings.setOptimizeGcode(true);
        QCOMPARE(settings.optimizeGcode(), true);
        QCOMPARE(any.count(), 0);
        QCOMPARE(settings.metaObject()->indexOfSignal("optimizeGcodeChanged(bool)"), -1);
    }

    void twoObjectsShareOneStore()
    {
        RMSettings a;
        RMSettings b;
        a.setWebRefreshToken("r1");
        QCOMPARE(b.webRefreshToken(), QString("r1"));
        b.setOptimizeGcode(false);
        QCOMPARE(a.optimizeGcode(), false);
    }

private:
    QTemporaryDir home;
};

QTEST_GUILESS_MAIN(RMSettingsTest)
#include "RMSettingsTest.moc"
