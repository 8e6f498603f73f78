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
        QVERIFY(!settings.buildVolume().isValid());
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

    // Stored as text a user can edit; what is not three sane sizes is no
    // volume (the fit check is off), never a volume of garbage.
    void buildVolumeReadsOnlyThreeSizes_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<double>("width"); // 0: not set
        QTest::addColumn<double>("height");
        QTest::newRow("as written") << QVariant("220x215.5x250") << 220.0 << 250.0;
        QTest::newRow("spaces") << QVariant(" 220 x 220 x 250 ") << 220.0 << 250.0;
        QTest::newRow("two sizes") << QVariant("220x220") << 0.0 << 0.0;
        QTest::newRow("zero") << QVariant("220x0x250") << 0.0 << 0.0;
        QTest::newRow("negative") << QVariant("-220x220x250") << 0.0 << 0.0;
        QTest::newRow("huge") << QVariant("1e9x220x250") << 0.0 << 0.0;
        QTest::newRow("not a number") << QVariant("nanxnanxnan") << 0.0 << 0.0;
        QTest::newRow("a number") << QVariant(220) << 0.0 << 0.0;
    }

    void buildVolumeReadsOnlyThreeSizes()
    {
        QFETCH(QVariant, stored);
        QFETCH(double, width);
        QFETCH(double, height);
        RMSettings settings;
        settings.setValue("build_volume", stored);
        QCOMPARE(settings.buildVolume().width, width);
        QCOMPARE(settings.buildVolume().height, height);
        QCOMPARE(settings.buildVolume().isValid(), width > 0);
        settings.remove("build_volume");
    }

    void buildVolumeSignalsChangesAndClears()
    {
        RMSettings settings;
        QSignalSpy changed(&settings, &RMSettings::buildVolumeChanged);
        RMBuildVolume v;
        v.width = 180;
        v.depth = 180.5;
        v.height = 200;
        settings.setBuildVolume(v);
        settings.setBuildVolume(v);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(settings.value("build_volume").toString(), QString("180x180.5x200"));
        QCOMPARE(RMSettings().buildVolume(), v);
        v.depth = -1; // out of range: the setting goes
        settings.setBuildVolume(v);
        QCOMPARE(changed.count(), 2);
        QVERIFY(!settings.contains("build_volume"));
        QVERIFY(!changed.at(1).at(0).value<RMBuildVolume>().isValid());
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
