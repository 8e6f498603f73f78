// Lines written to a captured standard stream become log messages of its
// category, and the stream's own buffer still gets every byte.
#include <LogCategories.h>
#include <StreamCapture.h>

#include <QTest>

#include <sstream>

namespace {

struct Message
{
    QtMsgType type;
    QByteArray category;
    QString text;
};
QList<Message> messages;

void collect(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    messages.append({type, context.category, text});
}

} // namespace

class StreamCaptureTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { messages.clear(); }

    void linesBecomeMessages_data()
    {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("one line") << QList<QByteArray>{"hello\n"} << QStringList{"hello"};
        QTest::newRow("unfinished line waits")
            << QList<QByteArray>{"first\nsecond"} << QStringList{"first"};
        QTest::newRow("line in pieces")
            << QList<QByteArray>{"ab", "c", "d\ne\n"} << QStringList{"abcd", "e"};
        QTest::newRow("empty line") << QList<QByteArray>{"\n"} << QStringList{""};
        QTest::newRow("cut at a zero byte")
            << QList<QByteArray>{QByteArray("key\0secret\n", 11)} << QStringList{"key"};
    }

    void linesBecomeMessages()
    {
        QFETCH(QList<QByteArray>, writes);
        QFETCH(QStringList, lines);

        std::ostringstream stream;
        std::streambuf* const original = stream.rdbuf();
        const QtMessageHandler previous = qInstallMessageHandler(collect);
        QByteArray written;
        {
            StreamCapture capture(stream, StdOut(), QtDebugMsg);
            for (const QByteArray& w : writes) {
                stream.write(w.constData(), w.size());
                written += w;
            }
        }
        qInstallMessageHandler(previous);

        QCOMPARE(stream.rdbuf(), original);
        QCOMPARE(QByteArray::fromStdString(stream.str()), written);
        QStringList got;
        for (const Message& m : messages) {
            QCOMPARE(m.type, QtDebugMsg);
            QCOMPARE(m.category, QByteArray("cout"));
            got << m.text;
        }
        QCOMPARE(got, lines);
    }

    void standardErrorLinesAreWarnings()
    {
        std::ostringstream stream;
        const QtMessageHandler previous = qInstallMessageHandler(collect);
        {
            StreamCapture capture(stream, StdErr(), QtWarningMsg);
            stream << "disk " << 42 << std::endl;
            stream.setstate(std::ios::badbit);
        }
        qInstallMessageHandler(previous);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].type, QtWarningMsg);
        QCOMPARE(messages[0].category, QByteArray("cerr"));
        QCOMPARE(messages[0].text, QString("disk 42"));
        QVERIFY(stream.good()); // handed back usable
    }
};

QTEST_GUILESS_MAIN(StreamCaptureTest)
#include "StreamCaptureTest.moc"
