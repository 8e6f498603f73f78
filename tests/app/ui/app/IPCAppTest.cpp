#include "IPCApp.h"

#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>

// This process is the master of its own channel; the other processes are
// ipc_app_helper (an IPCApp) and ipc_channel_helper (a bare channel).

namespace {

const int WaitMs = 20000;

std::unique_ptr<QProcess> start(const char* program, const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(environment);
    process->start(QString::fromLocal8Bit(program), arguments);
    return process;
}

QString readLine(QProcess& process)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(WaitMs))
            return QStringLiteral("<no line; state %1>").arg(process.state());
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

// Runs the event loop, which this process needs to answer, until it ends.
bool finishes(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    return finished.wait(WaitMs);
}

} // namespace

class IPCAppTest : public QObject
{
    Q_OBJECT
public:
    IPCAppTest(IPCApp* app, const QString& name) : m_app(app), m_name(name) {}

private slots:
    void initTestCase();
    void masterDoesNotRaiseItself();
    void secondProcessRaisesMaster();
    void onlyRaiseIsAnswered();
    void restartTakesOverFromDeadMaster();

private:
    IPCApp* m_app;
    QString m_name;
};

void IPCAppTest::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(QFileInfo(QStringLiteral(IPC_APP_HELPER)).isExecutable());
    QVERIFY(QFileInfo(QStringLiteral(IPC_CHANNEL_HELPER)).isExecutable());
}

void IPCAppTest::masterDoesNotRaiseItself()
{
    QVERIFY(m_app->isMaster());
    QSignalSpy raised(m_app, &IPCApp::raise);
    QVERIFY(!m_app->raiseMaster());
    QCOMPARE(raised.count(), 0);
}

void IPCAppTest::secondProcessRaisesMaster()
{
    QSignalSpy raised(m_app, &IPCApp::raise);
    auto second = start(IPC_APP_HELPER, {QStringLiteral("raise"), m_name});
    QVERIFY(finishes(*second));
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(readLine(*second), QStringLiteral("master=0"));
    QCOMPARE(readLine(*second), QStringLiteral("raised=1"));
    QCOMPARE(raised.count(), 1);
}

void IPCAppTest::onlyRaiseIsAnswered()
{
    // "hello" gets neither an answer nor a raise; the first answer the peer
    // sees is the one to "raise".
    QSignalSpy raised(m_app, &IPCApp::raise);
    auto peer =
        start(IPC_CHANNEL_HELPER, {m_name, QStringLiteral("hello"), QStringLiteral("raise")});
    QVERIFY(finishes(*peer));
    QCOMPARE(readLine(*peer), QStringLiteral("client"));
    QCOMPARE(readLine(*peer), QStringLiteral("answer raised"));
    QCOMPARE(raised.count(), 1);
}

void IPCAppTest::restartTakesOverFromDeadMaster()
{
    const QString name = m_name + QStringLiteral(" restart");
    auto master = start(IPC_CHANNEL_HELPER, {name});
    QCOMPARE(readLine(*master), QStringLiteral("server"));
    auto second = start(IPC_APP_HELPER, {QStringLiteral("restart"), name});
    QCOMPARE(readLine(*second), QStringLiteral("master=0"));

    master->kill();
    QVERIFY(master->waitForFinished(WaitMs));
    second->write("go\n");
    QCOMPARE(readLine(*second), QStringLiteral("master=1"));
    QVERIFY(finishes(*second));
    QCOMPARE(second->exitCode(), 0);
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Unique: other runs of this test may be up at the same time.
    const QString name =
        QStringLiteral("zelk-ipc-app-test %1").arg(QCoreApplication::applicationPid());
    IPCApp app(argc, argv, name);
    IPCAppTest test(&app, name);
    return QTest::qExec(&test, argc, argv);
}

#include "IPCAppTest.moc"
