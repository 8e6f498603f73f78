// zelkd's parts without a network: the printer states as the API states
// them (the README's table), file names as stored, a stored file's hot-end
// temperature from its analysis, what an upload may not do, the API key, and
// sizes as the settings read them.
#include <ApiKey.h>
#include <FileStore.h>
#include <OctoJson.h>
#include <Settings.h>

#include <QFile>
#include <QSemaphore>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace zelkd;

class ZelkdPartsTest : public QObject
{
    Q_OBJECT

private slots:
    void stateTable_data();
    void stateTable();
    void storedNames_data();
    void storedNames();
    void hotendTemperature_data();
    void hotendTemperature();
    void uploadsThatMayNotLand();
    void apiKey();
    void keysMaskedInLogs_data();
    void keysMaskedInLogs();
    void sizes_data();
    void sizes();
};

void ZelkdPartsTest::stateTable_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("attached");
    QTest::addColumn<int>("phase");
    QTest::addColumn<bool>("cancelling");
    QTest::addColumn<QString>("text");
    // o operational, p printing, u paused, n pausing, c cancelling, e error,
    // r ready, l closedOrError, b waitingForButton
    QTest::addColumn<QString>("flags");

    auto row = [](const char* name, RMDevice::State s, bool attached, Job::Phase phase,
                  bool cancelling, const char* text, const char* flags) {
        QTest::newRow(name) << int(s) << attached << int(phase) << cancelling << text << flags;
    };
    row("unplugged", RMDevice::Disconnected, false, Job::None, false, "Offline", "l");
    row("unplugged mid-job", RMDevice::Disconnected, false, Job::Failed, false,
        "Offline after error", "el");
    row("unknown", RMDevice::Unknown, true, Job::None, false, "Connecting", "");
    row("pre-init", RMDevice::PreInit, true, Job::None, false, "Operational", "o");
    row("initializing", RMDevice::Initializing, true, Job::None, false, "Operational", "o");
    row("idle", RMDevice::Idle, true, Job::None, false, "Operational", "or");
    row("idle after a finished job", RMDevice::Idle, true, Job::Finished, false, "Operational",
        "or");
    row("our file going out, printer still idle", RMDevice::Idle, true, Job::Sending, false,
        "Starting", "op");
    row("sent, not yet taken", RMDevice::Idle, true, Job::Sent, false, "Starting", "op");
    row("receiving", RMDevice::FileRx, true, Job::None, false, "Starting", "op");
    row("waiting for the button", RMDevice::JobQueued, true, Job::Queued, false, "Starting", "opb");
    row("calibrating", RMDevice::HomingXY, true, Job::Printing, false, "Printing", "op");
    row("heating", RMDevice::PreparingBuild, true, Job::Printing, false, "Printing", "op");
    row("building", RMDevice::Building, true, Job::Printing, false, "Printing", "op");
    row("building, not ours", RMDevice::Building, true, Job::None, false, "Printing", "op");
    row("pausing", RMDevice::Pausing, true, Job::Printing, false, "Pausing", "opn");
    row("paused", RMDevice::Paused, true, Job::Printing, false, "Paused", "ou");
    row("resuming", RMDevice::Unpaused, true, Job::Printing, false, "Printing", "op");
    row("filament out", RMDevice::OutOfFilament, true, Job::Printing, false, "Paused", "ou");
    row("cancel sent", RMDevice::Building, true, Job::Printing, true, "Cancelling", "opc");
    row("cancel sent while waiting", RMDevice::JobQueued, true, Job::Queued, true, "Cancelling",
        "opc");
    row("loading within a print", RMDevice::LoadHeating, true, Job::Printing, false, "Paused",
        "ou");
    row("unloading when idle", RMDevice::UnloadRetracting, true, Job::None, false, "Operational",
        "o");
}

void ZelkdPartsTest::stateTable()
{
    QFETCH(int, state);
    QFETCH(bool, attached);
    QFETCH(int, phase);
    QFETCH(bool, cancelling);
    QFETCH(QString, text);
    QFETCH(QString, flags);
    PrinterSnapshot p;
    p.attached = attached;
    p.status.state = RMDevice::State(state);
    p.job.phase = Job::Phase(phase);
    p.job.cancelRequested = cancelling;
    const OctoState o = octoState(p);
    QCOMPARE(QString::fromLatin1(o.text), text);
    QString got;
    const bool set[] = {o.operational, o.printing, o.paused,        o.pausing,         o.cancelling,
                        o.error,       o.ready,    o.closedOrError, o.waitingForButton};
    const char letters[] = "opuncerlb";
    for (int i = 0; i < 9; ++i)
        if (set[i])
            got += QLatin1Char(letters[i]);
    QCOMPARE(got, flags);
    // What slicers read is always there.
    const QJsonObject json = stateJson(p).value(QLatin1String("flags")).toObject();
    for (const char* flag : {"operational", "paused", "printing", "pausing", "cancelling", "error",
                             "ready", "closedOrError"})
        QVERIFY2(json.value(QLatin1String(flag)).isBool(), flag);
}

void ZelkdPartsTest::storedNames_data()
{
    QTest::addColumn<QString>("sent");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("error");
    const int none = int(FileStore::Error::None), bad = int(FileStore::Error::BadName),
              notGcode = int(FileStore::Error::NotGcode);
    QTest::newRow("plain") << "part.gcode"
                           << "part.gcode" << none;
    QTest::newRow("other extensions") << "PART.GCO"
                                      << "PART.GCO" << none;
    QTest::newRow("climbing") << "../../etc/passwd.gcode"
                              << "passwd.gcode" << none;
    QTest::newRow("backslashes") << "..\\..\\x.g"
                                 << "x.g" << none;
    QTest::newRow("hidden") << "...hidden.gcode"
                            << "hidden.gcode" << none;
    QTest::newRow("control characters") << "a\tb\x01"
                                           "c.gcode"
                                        << "abc.gcode" << none;
    QTest::newRow("unicode kept") << "würfel 20 mm.gcode"
                                  << "würfel 20 mm.gcode" << none;
    QTest::newRow("only dots") << ".."
                               << "" << bad;
    QTest::newRow("empty") << ""
                           << "" << bad;
    QTest::newRow("a folder's name") << "folder/"
                                     << "" << bad;
    QTest::newRow("no extension left") << "..gcode"
                                       << "" << notGcode;
    QTest::newRow("not G-code") << "model.stl"
                                << "" << notGcode;
    QTest::newRow("long names cut from the front")
        << QString(300, QLatin1Char('a')) + ".gcode" << QString(194, QLatin1Char('a')) + ".gcode"
        << none;
}

void ZelkdPartsTest::storedNames()
{
    QFETCH(QString, sent);
    QFETCH(QString, stored);
    QFETCH(int, error);
    FileStore::Error why = FileStore::Error::Io;
    QCOMPARE(FileStore::sanitise(sent, why), stored);
    QCOMPARE(int(why), error);
}

void ZelkdPartsTest::hotendTemperature_data()
{
    QTest::addColumn<QByteArray>("gcode");
    QTest::addColumn<double>("celsius");
    QTest::newRow("M104") << QByteArray("G28\nM104 S205 ; heat\nG1 X1\n") << 205.0;
    QTest::newRow("M109 with a tool") << QByteArray("M109 T0 S212.5\n") << 212.5;
    QTest::newRow("heater off first, then on") << QByteArray("M104 S0\nM109 S199\n") << 199.0;
    QTest::newRow("in a comment only") << QByteArray("; M104 S230\nG1 X2\n") << 0.0;
    QTest::newRow("the bed is not the hot end") << QByteArray("M140 S60\nM190 S60\n") << 0.0;
    QTest::newRow("none") << QByteArray("G28\nG1 X1\n") << 0.0;
    QTest::newRow("the target when filament is first laid")
        << QByteArray("M104 S150\nG28\nM109 S210\nG1 X10 E1\nM104 S200\n") << 210.0;
}

void ZelkdPartsTest::hotendTemperature()
{
    // As a job takes it: from the analysis of the stored file, which its
    // pool hands over when it is done.
    QFETCH(QByteArray, gcode);
    QFETCH(double, celsius);
    QTemporaryDir dir;
    FileStore store(dir.path(), 1 << 20);
    QString error;
    QVERIFY(store.open(error));
    QSemaphore done;
    StoredFile analysed;
    store.startAnalyses([&](const StoredFile& f) {
        analysed = f;
        done.release();
    });
    FileStore::Error why = FileStore::Error::None;
    std::unique_ptr<FileStore::Upload> up = store.beginUpload(why);
    QVERIFY(up->write(gcode.constData(), size_t(gcode.size())));
    QVERIFY(store.commit(*up, QStringLiteral("t.gcode"), why));
    QVERIFY(done.tryAcquire(1, 10000));
    QCOMPARE(analysed.hotendCelsius, celsius);
    QCOMPARE(store.find(QStringLiteral("t.gcode"))->hotendCelsius, celsius);
}

void ZelkdPartsTest::uploadsThatMayNotLand()
{
    QTemporaryDir dir;
    FileStore store(dir.path(), 1000);
    QString error;
    QVERIFY(store.open(error));
    const QByteArray line(100, 'G');
    auto partials = [&dir] { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); };

    FileStore::Error why = FileStore::Error::None;
    {
        // Over the limit: refused at the write that crosses it, gone at once.
        std::unique_ptr<FileStore::Upload> up = store.beginUpload(why);
        QVERIFY(up);
        for (int i = 0; i < 10; ++i)
            QVERIFY(up->write(line.constData(), size_t(line.size())));
        QVERIFY(!up->write("x", 1));
        QCOMPARE(up->error(), FileStore::Error::TooLarge);
        QVERIFY(partials().isEmpty());
        QVERIFY(!store.commit(*up, QStringLiteral("big.gcode"), why));
    }
    {
        std::unique_ptr<FileStore::Upload> up = store.beginUpload(why);
        QVERIFY(up->write(line.constData(), size_t(line.size())));
        const std::optional<StoredFile> f = store.commit(*up, QStringLiteral("a.gcode"), why);
        QVERIFY(f);
        QCOMPARE(f->size, qint64(100));
        QCOMPARE(f->hash, QString::fromLatin1(
                              QCryptographicHash::hash(line, QCryptographicHash::Sha1).toHex()));
    }
    // The file being printed is neither replaced nor removed.
    store.setInUse(QStringLiteral("a.gcode"), true);
    {
        std::unique_ptr<FileStore::Upload> up = store.beginUpload(why);
        QVERIFY(up->write("other", 5));
        QVERIFY(!store.commit(*up, QStringLiteral("a.gcode"), why));
        QCOMPARE(why, FileStore::Error::InUse);
    }
    QCOMPARE(partials(), QStringList{QStringLiteral("a.gcode")});
    QVERIFY(!store.remove(QStringLiteral("a.gcode"), why));
    QCOMPARE(why, FileStore::Error::InUse);
    store.setInUse(QStringLiteral("a.gcode"), false);
    QVERIFY(store.remove(QStringLiteral("a.gcode"), why));
    QVERIFY(!store.remove(QStringLiteral("a.gcode"), why));
    QCOMPARE(why, FileStore::Error::NotFound);
    QVERIFY(partials().isEmpty());
}

void ZelkdPartsTest::apiKey()
{
    QSet<QByteArray> seen;
    for (int i = 0; i < 200; ++i) {
        const QByteArray k = ApiKey::generate();
        QCOMPARE(k.size(), 32);
        for (char c : k)
            QVERIFY(QChar::fromLatin1(c).isLetterOrNumber() && uchar(c) < 128);
        seen.insert(k);
    }
    QCOMPARE(seen.size(), 200);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("keys/api-key"));
    ApiKey made, read;
    QString error;
    QVERIFY(made.loadOrCreate(path, error));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    QVERIFY(read.loadOrCreate(path, error)); // the same key again, not a new one
    QCOMPARE(read.value(), made.value());
    QVERIFY(read.matches(made.value()));
    QVERIFY(!read.matches(made.value().left(31)));
    QVERIFY(!read.matches(made.value() + 'x'));
    QVERIFY(!read.matches(QByteArray()));
    QVERIFY(!ApiKey().matches(QByteArray())); // no key matches nothing
    QVERIFY(!ApiKey::qrCode(made.value(), false).isEmpty());
}

void ZelkdPartsTest::keysMaskedInLogs_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("logged");
    QTest::newRow("alone") << "/api/job?apikey=SECRET"
                           << "/api/job?apikey=********";
    QTest::newRow("among others") << "/x?a=1&apikey=SECRET&b=2"
                                  << "/x?a=1&apikey=********&b=2";
    QTest::newRow("any case") << "/x?ApiKey=SECRET"
                              << "/x?ApiKey=********";
    QTest::newRow("in a message") << "GET /x?apikey=SECRET 403"
                                  << "GET /x?apikey=******** 403";
    QTest::newRow("not a parameter") << "/apikey=SECRET"
                                     << "/apikey=SECRET";
}

void ZelkdPartsTest::keysMaskedInLogs()
{
    QFETCH(QString, uri);
    QFETCH(QString, logged);
    QCOMPARE(maskApiKey(uri), logged);
}

void ZelkdPartsTest::sizes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("bytes") << "300000" << qint64(300000);
    QTest::newRow("K") << "100K" << qint64(102400);
    QTest::newRow("MB") << "512MB" << qint64(512) * 1024 * 1024;
    QTest::newRow("decimal G") << "1.5g" << qint64(1536) * 1024 * 1024;
    QTest::newRow("zero") << "0" << qint64(-1);
    QTest::newRow("negative") << "-5M" << qint64(-1);
    QTest::newRow("words") << "lots" << qint64(-1);
}

void ZelkdPartsTest::sizes()
{
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    QCOMPARE(parseSize(text), bytes);
}

QTEST_GUILESS_MAIN(ZelkdPartsTest)
#include "ZelkdPartsTest.moc"
