// Reading and writing one move line: how a line splits into words (and into
// the analysis's command and arguments), numbers
// (read in the C locale whatever the process locale, written as they were
// read, summed exactly), which words a move line may carry, and the distance
// of the collinearity test.
#include <GcodeLine.h>
#include <GcodeMachine.h>
#include <GcodeWords.h>
#include <Sequence.h>

#include <QtTest>

#include <clocale>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace {

QByteArray textOf(const GcodeValue& v)
{
    char buffer[GcodeValue::MaxText];
    return QByteArray(buffer, int(GcodeNumber::write(buffer, v) - buffer));
}

QByteArray written(const GcodeLine& line)
{
    char buffer[GcodeLine::MaxFormatted];
    return QByteArray(buffer, line.format(buffer));
}

} // namespace

class GcodeLineTest : public QObject
{
    Q_OBJECT
private slots:
    void splitsWords_data();
    void splitsWords();
    void readsCommands_data();
    void readsCommands();
    void sumsExactly_data();
    void sumsExactly();
    void readsIgnoringLocale();
    void parsesNumbers_data();
    void parsesNumbers();
    void readsNoFurtherThanTheNumber_data();
    void readsNoFurtherThanTheNumber();
    void readsMoveLines_data();
    void readsMoveLines();
    void readsWordList();
    void distanceToLine_data();
    void distanceToLine();
};

void GcodeLineTest::splitsWords_data()
{
    QTest::addColumn<QByteArray>("line");
    // Each word as its letter and [number text], '+' before a glued one; then
    // why reading stopped, and "(...)" when a comment in parentheses was seen.
    QTest::addColumn<QByteArray>("words");

    QTest::newRow("spaced") << QByteArray("G1 X5 Y-2.5") << QByteArray("G[1] X[5] Y[-2.5] end");
    QTest::newRow("tab") << QByteArray("G1\tX1") << QByteArray("G[1] X[1] end");
    QTest::newRow("run together") << QByteArray("G1X5Y5") << QByteArray("G[1] +X[5] +Y[5] end");
    QTest::newRow("extruder word glued on")
        << QByteArray("G1 X20E1") << QByteArray("G[1] X[20] +E[1] end");
    QTest::newRow("lower-case exponents")
        << QByteArray("G1 E7e-05 X1e1") << QByteArray("G[1] E[7e-05] X[1e1] end");
    QTest::newRow("e without digits is a word")
        << QByteArray("G1 X1e Y2") << QByteArray("G[1] X[1] +e[] Y[2] end");
    QTest::newRow("lower case kept") << QByteArray("g1 x5") << QByteArray("g[1] x[5] end");
    QTest::newRow("letter alone, no number")
        << QByteArray("G1 W X1-2..3") << QByteArray("G[1] W[] X[1-2..3] end");
    QTest::newRow("checksum") << QByteArray("N10 G1 X5*33")
                              << QByteArray("N[10] G[1] X[5] checksum");
    QTest::newRow("comment") << QByteArray("G1 X5 ; Y7") << QByteArray("G[1] X[5] comment");
    QTest::newRow("comment in parentheses")
        << QByteArray("G1 (Y7) X5(c)Y5") << QByteArray("G[1] X[5] +Y[5] end (...)");
    QTest::newRow("unclosed parenthesis")
        << QByteArray("G1 (Y7 X5") << QByteArray("G[1] end (...)");
    QTest::newRow("junk") << QByteArray("G1 X5 WIDTH:0.3")
                          << QByteArray("G[1] X[5] W[] +I[] +D[] +T[] +H[] junk");
    QTest::newRow("non-ASCII") << QByteArray("M117 h\xc3\xa9") << QByteArray("M[117] h[] junk");
    QTest::newRow("host command") << QByteArray("@pause") << QByteArray("junk");
    QTest::newRow("empty") << QByteArray() << QByteArray("end");
}

void GcodeLineTest::splitsWords()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, words);
    GcodeWordReader reader(line);
    QByteArray seen;
    GcodeWord w;
    while (reader.next(&w))
        seen += QByteArray(w.glued ? "+" : "") + w.letter + '[' + QByteArray(w.begin, w.length()) +
                "] ";
    QVERIFY(!reader.next(&w)); // stays stopped
    static const char* const stops[] = {"reading", "end", "comment", "checksum", "junk"};
    seen += stops[reader.stop()];
    if (reader.hasInlineComment())
        seen += " (...)";
    QCOMPARE(seen, words);
}

void GcodeLineTest::readsCommands_data()
{
    QTest::addColumn<QByteArray>("line");
    // The command with its subcode, the bytes from it to the line's end,
    // then the arguments in letter order; "none" for no command.
    QTest::addColumn<QString>("command");

    QTest::newRow("line number and checksum")
        << QByteArray("N10 G1 X5 Y-2.5*33") << "G1 14: X5 Y-2.5";
    QTest::newRow("subcode, lower case") << QByteArray("g29.1 x1") << "G29.1 8: X1";
    QTest::newRow("point without subcode") << QByteArray("G1. X2") << "G1 6: X2";
    QTest::newRow("letters alone") << QByteArray("G28 X Y") << "G28 7: X0 Y0";
    QTest::newRow("no plain decimals") << QByteArray("G1 X1e1 Y1-2 Z.") << "G1 15: Xnan Ynan Znan";
    QTest::newRow("a word given twice") << QByteArray("G1 X5 X6") << "G1 8: X6";
    QTest::newRow("comments") << QByteArray("G1 X5 (Y7) Z1 ; E5") << "G1 18: X5 Z1";
    QTest::newRow("junk stepped over") << QByteArray("\x01G1 X5 #2\r") << "G1 9: X5";
    QTest::newRow("tool") << QByteArray("T1") << "T1 2:";
    for (const char* none : {"X5 G1 Y5", "N1 N2 G1 X5", "G1e5 X1", "G-1 X1", "G X1", "T1234567890",
                             "G1.2.3", "; G1 X5", ""})
        QTest::newRow(none) << QByteArray(none) << "none";
}

void GcodeLineTest::readsCommands()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, command);
    GcodeCommand c;
    c.values['X' - 'A'] = 99; // a previous line's value, to be replaced
    c.read(line.constData(), line.constData() + line.size());
    QString seen = QStringLiteral("none");
    if (c.letter) {
        seen = QStringLiteral("%1%2%3 %4:")
                   .arg(c.letter)
                   .arg(c.code)
                   .arg(c.subcode >= 0 ? QStringLiteral(".%1").arg(c.subcode) : QString())
                   .arg(c.length);
        for (char l = 'A'; l <= 'Z'; ++l)
            if (c.has(l))
                seen += QStringLiteral(" %1%2").arg(l).arg(c.value(l));
    }
    QCOMPARE(seen, command);
}

void GcodeLineTest::sumsExactly_data()
{
    QTest::addColumn<QByteArrayList>("terms");
    QTest::addColumn<QByteArray>("sum");
    QTest::newRow("no binary noise") << QByteArrayList{"0.1", "0.2"} << QByteArray("0.3");
    QTest::newRow("most decimals of the terms")
        << QByteArrayList{"0.1", "0.02", "0.003"} << QByteArray("0.123");
    QTest::newRow("trailing zeros dropped") << QByteArrayList{"0.25", "0.25"} << QByteArray("0.5");
    QTest::newRow("an integer") << QByteArrayList{"0.5", "0.50", "1."} << QByteArray("2");
    QTest::newRow("ten decimals") << QByteArrayList{"0.1", "0.2", "0.0333333333"}
                                  << QByteArray("0.3333333333");
    QTest::newRow("large and small")
        << QByteArrayList{"1000.12345", "0.00001"} << QByteArray("1000.12346");
    QTest::newRow("no exponent form")
        << QByteArrayList{".00007", ".00002"} << QByteArray("0.00009");
    QTest::newRow("negative") << QByteArrayList{"-0.4", "-.4", "-0.2"} << QByteArray("-1");
    QTest::newRow("negative, below one")
        << QByteArrayList{"-.00004", "-0.00001"} << QByteArray("-0.00005");
    QTest::newRow("zero has no sign") << QByteArrayList{"1.5", "-1.5", "-0"} << QByteArray("0");
    QTest::newRow("plus sign and leading zeros")
        << QByteArrayList{"+0.5", "007"} << QByteArray("7.5");
    // The longest: as many terms as a run holds, the largest inputs and the
    // most decimals a move line's number can have.
    QByteArrayList longest;
    for (int i = 1; i < GcodeSum::MaxTerms; ++i)
        longest << "-999999999999";
    longest << ".10000000000000000000001";
    QTest::newRow("longest") << longest << QByteArray("-254999999999744.89999999999999999999999");
}

void GcodeLineTest::sumsExactly()
{
    QFETCH(QByteArrayList, terms);
    QFETCH(QByteArray, sum);
    GcodeSum s;
    s.clear();
    double approximate = 0;
    for (const QByteArray& t : qAsConst(terms)) {
        GcodeValue v;
        QVERIFY(v.read(t.constData(), t.constData() + t.size()));
        s.add(v);
        approximate += v.value;
    }
    GcodeValue result;
    s.store(&result);
    QVERIFY(result.present);
    QCOMPARE(textOf(result), sum);
    QVERIFY(std::fabs(result.value - approximate) <= 1e-9 * (1 + std::fabs(approximate)));
}

void GcodeLineTest::readsIgnoringLocale()
{
    // A desktop session may run with a decimal comma.
    const QByteArray previous = std::setlocale(LC_ALL, nullptr);
    const bool switched =
        std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German));
    double v = 0;
    const bool parsed = GcodeNumber::parse("12.5", "12.5" + 4, &v);
    const bool comma = GcodeNumber::parse("12,5", "12,5" + 4, &v);
    std::setlocale(LC_ALL, previous.constData());
    QLocale::setDefault(QLocale::c());
    QVERIFY(parsed);
    QVERIFY(!comma);
    QCOMPARE(v, 12.5);
    if (!switched)
        qInfo("no German or French C locale installed: checked with the default locale only");
}

void GcodeLineTest::parsesNumbers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("value");

    QTest::newRow("plain") << QByteArray("75.721") << true << 75.721;
    QTest::newRow("no leading zero") << QByteArray(".8") << true << 0.8;
    QTest::newRow("negative, no leading zero") << QByteArray("-.0326") << true << -0.0326;
    QTest::newRow("trailing zeros") << QByteArray("0.300") << true << 0.3;
    QTest::newRow("trailing point") << QByteArray("8.") << true << 8.0;
    QTest::newRow("plus sign") << QByteArray("+0.5") << true << 0.5;
    QTest::newRow("leading zeros") << QByteArray("007") << true << 7.0;
    QTest::newRow("many digits") << QByteArray("99.7301845258") << true << 99.7301845258;
    QTest::newRow("longest a move line carries")
        << QByteArray("0.1234567890123456789012") << true << 0.1234567890123456789012;
    QTest::newRow("small kept") << QByteArray("0.00007") << true << 7e-05;
    QTest::newRow("negative zero") << QByteArray("-0") << true << -0.0;
    QTest::newRow("empty") << QByteArray("") << false << 0.0;
    QTest::newRow("sign only") << QByteArray("-") << false << 0.0;
    QTest::newRow("point only") << QByteArray(".") << false << 0.0;
    QTest::newRow("letters") << QByteArray("abc") << false << 0.0;
    QTest::newRow("decimal comma") << QByteArray("1,5") << false << 0.0;
    QTest::newRow("junk after") << QByteArray("10x") << false << 0.0;
    QTest::newRow("two signs") << QByteArray("+-1") << false << 0.0;
    QTest::newRow("nan") << QByteArray("nan") << false << 0.0;
    QTest::newRow("infinity") << QByteArray("inf") << false << 0.0;
    QTest::newRow("huge") << QByteArray("1e300") << false << 0.0;
    QTest::newRow("beyond range") << QByteArray("1000000000000") << false << 0.0;
    QTest::newRow("tiny") << QByteArray("0.0000000000001") << false << 0.0;
    QTest::newRow("hexadecimal") << QByteArray("0x10") << false << 0.0;
    // Firmwares read "1e1" as 10, as 1, or as 1 and an extruder word.
    QTest::newRow("exponent") << QByteArray("1e1") << false << 0.0;
    QTest::newRow("longer than a move line carries")
        << QByteArray("0.12345678901234567890123") << false << 0.0;
}

void GcodeLineTest::parsesNumbers()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(double, value);
    GcodeValue v;
    QCOMPARE(v.read(text.constData(), text.constData() + text.size()), valid);
    QCOMPARE(v.present, valid);
    if (!valid)
        return;
    QCOMPARE(v.value, value);
    QCOMPARE(std::signbit(v.value), std::signbit(value));
    QCOMPARE(textOf(v), text); // written as it was read
}

void GcodeLineTest::readsNoFurtherThanTheNumber_data()
{
    QTest::addColumn<QByteArray>("text");
    // A bare zero once had its "fraction" scanned from two bytes on, past its
    // own end: at the end of a file's buffer that is a read beyond it.
    QTest::newRow("zero") << QByteArray("0");
    QTest::newRow("negative zero") << QByteArray("-0");
    QTest::newRow("fraction") << QByteArray("0.000");
    QTest::newRow("line ending in zero") << QByteArray("G92 E0");
    QTest::newRow("exponent cut short") << QByteArray("G1 X1e-");
    QTest::newRow("unclosed parenthesis") << QByteArray("G1 X1 (c");
}

void GcodeLineTest::readsNoFurtherThanTheNumber()
{
    QFETCH(QByteArray, text);
    // The text ends where an inaccessible page starts: a read past it crashes.
    const long page = sysconf(_SC_PAGESIZE);
    void* pages =
        mmap(nullptr, size_t(2 * page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QVERIFY(pages != MAP_FAILED);
    char* const guard = static_cast<char*>(pages) + page;
    QCOMPARE(mprotect(guard, size_t(page), PROT_NONE), 0);
    char* const begin = guard - text.size();
    std::memcpy(begin, text.constData(), size_t(text.size()));
    double v;
    GcodeNumber::parse(begin, guard, &v);
    GcodeLine line;
    line.parse(begin, guard);
    munmap(pages, size_t(2 * page));
}

void GcodeLineTest::readsMoveLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("written"); // empty: the line is refused

    QTest::newRow("G0 becomes G1") << QByteArray("G0 X5 Y5") << QByteArray("G1 X5 Y5\n");
    QTest::newRow("fixed word order")
        << QByteArray("G1 E2 Z0.3 Y2 X1 F1200") << QByteArray("G1 F1200 X1 Y2 Z0.3 E2\n");
    QTest::newRow("S word and comment dropped")
        << QByteArray("G1 X10 Y10 S255 ; laser") << QByteArray("G1 X10 Y10\n");
    QTest::newRow("comment without space") << QByteArray("G1 X10;c") << QByteArray("G1 X10\n");
    QTest::newRow("G92") << QByteArray("G92 E0.0") << QByteArray("G92 E0.0\n");
    QTest::newRow("numbers as the line wrote them")
        << QByteArray("G1 X.5 Y+2 Z0.300 E1205.67427 F1200.0")
        << QByteArray("G1 F1200.0 X.5 Y+2 Z0.300 E1205.67427\n");
    QTest::newRow("tabs and double spaces")
        << QByteArray("G1\tX1  Y2\t E3") << QByteArray("G1 X1 Y2 E3\n");
    QTest::newRow("only a feed rate") << QByteArray("G1 F7200") << QByteArray("G1 F7200\n");
    // A line we cannot rewrite without changing it is refused: the pass copies
    // it as it stands instead of inventing a coordinate.
    QTest::newRow("unreadable number") << QByteArray("G1 Xabc Y5") << QByteArray();
    QTest::newRow("empty number") << QByteArray("G1 X Y5") << QByteArray();
    QTest::newRow("lower-case word") << QByteArray("G1 X5 y7") << QByteArray();
    QTest::newRow("second command") << QByteArray("G1 X5 G90") << QByteArray();
    QTest::newRow("M word") << QByteArray("G1 X5 M3") << QByteArray();
    QTest::newRow("line number") << QByteArray("G1 X5 N10") << QByteArray();
    QTest::newRow("non-ASCII") << QByteArray("G1 X5 \xc3\xa9") << QByteArray();
    // The firmware reads X20E1 as X20 E1: read as an exponent it made X200.
    QTest::newRow("extruder word glued on") << QByteArray("G1 X20E1") << QByteArray();
    QTest::newRow("upper-case exponent") << QByteArray("G1 X2E-3 Y1") << QByteArray();
    QTest::newRow("lower-case exponent") << QByteArray("G1 X1e1") << QByteArray();
    QTest::newRow("G number beyond int") << QByteArray("G199999999999 Y1") << QByteArray();
    QTest::newRow("a word that is no word")
        << QByteArray("G1 Z0.24 X40 Y0 WIDTH:0.361899") << QByteArray();
    QTest::newRow("a word given twice") << QByteArray("G1 X80 Y10 E10 E1") << QByteArray();
    QTest::newRow("a letter alone is dropped") << QByteArray("G1 X5 W") << QByteArray("G1 X5\n");
}

void GcodeLineTest::readsMoveLines()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, written);
    GcodeLine g;
    const bool ok = g.parse(line.constData(), line.constData() + line.size());
    QCOMPARE(ok, !written.isEmpty());
    if (ok)
        QCOMPARE(::written(g), written);
}

void GcodeLineTest::readsWordList()
{
    const QString text = QStringLiteral("G1 X10  Y-2.50 E.5 F1800");
    GcodeLine g;
    g.words[GcodeLine::Z].read("7", "7" + 1); // an absent word keeps its value
    QVERIFY(g.set(text.splitRef(QLatin1Char(' '))));
    QCOMPARE(g.g, 1);
    QVERIFY(g.has(GcodeLine::X) && g.has(GcodeLine::Y) && g.has(GcodeLine::E) &&
            g.has(GcodeLine::F) && !g.has(GcodeLine::Z));
    QCOMPARE(g.value(GcodeLine::Y), -2.5);
    QCOMPARE(g.value(GcodeLine::Z), 7.0);
    QCOMPARE(written(g), QByteArray("G1 F1800 X10 Y-2.50 E.5\n"));
    QVERIFY(!g.set(QStringLiteral("G1 X1,5").splitRef(QLatin1Char(' '))));
}

void GcodeLineTest::distanceToLine_data()
{
    QTest::addColumn<QPointF>("p");
    QTest::addColumn<QPointF>("a");
    QTest::addColumn<QPointF>("b");
    QTest::addColumn<double>("distance");
    QTest::newRow("on the line") << QPointF(5, 0) << QPointF(0, 0) << QPointF(10, 0) << 0.0;
    QTest::newRow("exactly the tolerance")
        << QPointF(5, 0.1) << QPointF(0, 0) << QPointF(10, 0) << 0.1;
    QTest::newRow("beyond the end, on the line")
        << QPointF(20, 0) << QPointF(0, 0) << QPointF(10, 0) << 0.0;
    QTest::newRow("diagonal") << QPointF(0, 10) << QPointF(0, 0) << QPointF(10, 10)
                              << std::sqrt(50.0);
    QTest::newRow("a and b coincide") << QPointF(3, 4) << QPointF(0, 0) << QPointF(0, 0) << 5.0;
}

void GcodeLineTest::distanceToLine()
{
    QFETCH(QPointF, p);
    QFETCH(QPointF, a);
    QFETCH(QPointF, b);
    QFETCH(double, distance);
    QCOMPARE(dist_to_line(p, a, b), distance);
    QVERIFY(dist_to_line(QPointF(5, 0.1000001), QPointF(0, 0), QPointF(10, 0)) > 0.1);
}

QTEST_GUILESS_MAIN(GcodeLineTest)
#include "GcodeLineTest.moc"
