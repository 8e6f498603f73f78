#include <RMUtil.h>

#include <QTest>

class RMUtilTest : public QObject
{
    Q_OBJECT

private slots:
    void compareVersion_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("sign");
        QTest::newRow("newer major") << "0.9.0"
                                     << "1.0.0" << 1;
        QTest::newRow("older patch, numeric not textual") << "1.2.10"
                                                          << "1.2.9" << -1;
        QTest::newRow("equal") << "2.0.0"
                               << "2.0.0" << 0;
        QTest::newRow("no digits is 0.0.0") << "beta"
                                            << "0.0.0" << 0;
        QTest::newRow("first triple only") << "1.2.3.4"
                                           << "1.2.3" << 0;
        QTest::newRow("release candidate") << "0.9.0"
                                           << "0.9.0-rc1" << 0;
        QTest::newRow("text around") << "v1.2.3"
                                     << "fw 1.2.4 build 7" << 1;
        QTest::newRow("empty is older") << "0.9.0"
                                        << "" << -1;
        QTest::newRow("part beyond 32 bits counts as 0") << "0.0.1"
                                                         << "99999999999.0.0" << -1;
        QTest::newRow("huge difference keeps its sign") << "0.0.0"
                                                        << "2147483647.0.0" << 1;
    }
    void compareVersion()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, sign);
        const int result = RMUtil::compareVersion(a, b);
        QCOMPARE((result > 0) - (result < 0), sign);
    }

    void isProdVersion_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("prod");
        QTest::newRow("three numbers") << "10.20.30" << true;
        QTest::newRow("two numbers") << "1.2" << false;
        QTest::newRow("trailing space") << "1.2.3 " << false;
        QTest::newRow("suffix") << "1.2.3-beta" << false;
        QTest::newRow("prefix") << "v1.2.3" << false;
        QTest::newRow("empty") << "" << true;
    }
    void isProdVersion()
    {
        QFETCH(QString, version);
        QFETCH(bool, prod);
        QCOMPARE(RMUtil::isProdVersion(version), prod);
    }
};

QTEST_GUILESS_MAIN(RMUtilTest)
#include "RMUtilTest.moc"
