#include "GcodeGenerator.h"

#include <QRandomGenerator>

#include <cmath>

namespace {

class Generator
{
public:
    explicit Generator(quint32 seed) : random(seed) {}

    QByteArray run(int pieces)
    {
        line("; generated");
        for (int i = 0; i < pieces; ++i)
            piece();
        return out;
    }

private:
    int pick(int n) { return int(random.bounded(n)); }
    double uniform(double a, double b) { return a + (b - a) * random.generateDouble(); }
    bool chance(double p) { return random.generateDouble() < p; }

    QByteArray number(double v)
    {
        switch (pick(8)) {
        case 0:
            return QByteArray::number(v, 'f', 0);
        case 1:
            return QByteArray::number(v, 'f', 5); // trailing zeros
        case 2: {                                 // no leading zero, as some slicers write
            QByteArray s = QByteArray::number(v, 'f', 3);
            if (s.startsWith("0."))
                s.remove(0, 1);
            else if (s.startsWith("-0."))
                s.remove(1, 1);
            return s;
        }
        case 3:
            return QByteArray::number(v, 'g', 12); // more digits than are written back
        default:
            return QByteArray::number(v, 'f', 3);
        }
    }

    void line(const QByteArray& text)
    {
        switch (pick(40)) {
        case 0:
            out += "  " + text + " \t\r\n"; // white space and CRLF
            break;
        case 1:
            out += text + "\n\n"; // blank line
            break;
        case 2:
            out += text + "\n   \n";
            break;
        default:
            out += text + "\n";
        }
    }

    // A move to (x, y) with extruder change `de` (absolute or relative as
    // the mode is), optional feed rate.
    void move(double nx, double ny, double de, double feed = -1)
    {
        QByteArray s = chance(0.1) ? "G0" : "G1";
        if (feed > 0)
            s += " F" + number(feed);
        if (relativePositioning) {
            s += " X" + number(nx - x) + " Y" + number(ny - y);
        } else {
            if (nx != x || chance(0.8))
                s += " X" + number(nx);
            if (ny != y || chance(0.8))
                s += " Y" + number(ny);
        }
        if (de != 0 || chance(0.1)) {
            e += de;
            s += " E" + number(relativeExtrusion ? de : e);
        }
        if (chance(0.05))
            s += " ; move";
        x = nx;
        y = ny;
        line(s);
    }

    double extrusion() { return chance(0.05) ? 0.0 : uniform(0.001, 1.5); }
    double feed() { return chance(0.5) ? -1 : double(pick(4) * 600 + 600); }

    void straight(double dx, double dy, int n, double de, double feedRate)
    {
        const double length = std::hypot(dx, dy);
        static const double offsets[] = {0, 0, 0, 0.05, -0.05, 0.1, -0.1, 0.1000001, 0.2, 0.02};
        double t = 0;
        for (int i = 0; i < n; ++i) {
            t += uniform(0.3, 12);
            const double off = i + 1 < n ? offsets[pick(10)] : 0;
            move(ax + dx / length * t - dy / length * off, ay + dy / length * t + dx / length * off,
                 de < 0 ? de : (de > 0 ? extrusion() : 0), i == 0 ? feedRate : -1);
        }
    }

    void piece()
    {
        ax = x;
        ay = y;
        const double angle = uniform(0, 6.2832);
        const double dx = std::cos(angle), dy = std::sin(angle);
        switch (pick(24)) {
        case 0:
        case 1:
        case 2: // straight extrusion with near-tolerance points
            straight(dx, dy, 2 + pick(8), 1, feed());
            break;
        case 3: { // back and forth along one line
            const double d = uniform(1, 20);
            move(x + dx * d, y + dy * d, extrusion());
            move(x - dx * d * uniform(0.2, 1.5), y - dy * d * uniform(0.2, 1.5), extrusion());
            move(x + dx * d, y + dy * d, extrusion());
            break;
        }
        case 4: // travel continuing an extrusion's line, and the reverse
            straight(dx, dy, 2 + pick(3), 1, -1);
            ax = x - dx * 0.0;
            straight(dx, dy, 1 + pick(3), 0, -1);
            straight(dx, dy, 1 + pick(3), 1, -1);
            break;
        case 5: { // retraction, wipe, unretract
            const double r = uniform(0.2, 2);
            line("G1 E" + number(relativeExtrusion ? -r : e - r) + " F2100");
            e -= r;
            straight(dx, dy, 1 + pick(4), -0.05, 7200);
            line("G1 E" + number(relativeExtrusion ? r : e + r));
            e += r;
            break;
        }
        case 6: // G92 inside a run
            straight(dx, dy, 2, 1, -1);
            line(chance(0.5) ? "G92 E0" : "G92 E0.0");
            e = 0;
            straight(dx, dy, 2, 1, -1);
            break;
        case 7:
            if (chance(0.3)) {
                line("G92 X" + number(x + 5) + " Y" + number(y));
                x += 5;
            } else {
                line("G92");
            }
            break;
        case 8: // extrusion mode switches
            relativeExtrusion = !relativeExtrusion;
            line(relativeExtrusion ? "M83" : "M82");
            straight(dx, dy, 3, 1, -1);
            break;
        case 9: { // relative positioning for a while
            line("G91");
            relativePositioning = relativeExtrusion = true;
            straight(dx, dy, 2 + pick(3), 1, -1);
            line("G90");
            relativePositioning = relativeExtrusion = false;
            if (chance(0.5)) {
                line("M83");
                relativeExtrusion = true;
            }
            straight(dx, dy, 2 + pick(3), 1, -1);
            break;
        }
        case 10: { // an arc, then moves that would anchor on its start
            const double r = uniform(2, 10);
            x += dx * r;
            y += dy * r;
            e += 0.5;
            line((chance(0.5) ? "G2 X" : "G3 X") + number(x) + " Y" + number(y) + " I" +
                 number(dx * r / 2) + " J" + number(dy * r / 2) + " E" +
                 number(relativeExtrusion ? 0.5 : e));
            ax = x;
            ay = y;
            straight(dx, dy, 3, 1, -1);
            break;
        }
        case 11: // homing, then moves
            line(chance(0.5) ? "G28" : "G28 X0");
            x = 0;
            y = 0;
            ax = ay = 0;
            straight(dx, dy, 3, 0, -1);
            break;
        case 12: { // height change, alone or with a comment after it
            z += 0.2;
            line("G1 Z" + number(z) + (chance(0.5) ? " F600" : ""));
            if (chance(0.5))
                line(";LAYER_CHANGE");
            straight(dx, dy, 2, 1, -1);
            break;
        }
        case 13: // feed-only lines
            line("G1 F" + number(double(pick(3) * 1200 + 600)));
            if (chance(0.5))
                line("G1 F" + number(double(pick(3) * 1200 + 600)));
            straight(dx, dy, 2, pick(2), -1);
            break;
        case 14:
            line("; a comment");
            break;
        case 15: { // odd spellings
            static const char* odd[] = {"G0 X5 Y5",
                                        "G1 X10 Y10 S255 ; laser",
                                        "G1 Xabc Y3",
                                        "g1 x5 y5",
                                        "G1X7Y7",
                                        "N10 G1 X5 Y6*33",
                                        "G1 X1e1 Y2",
                                        "T1",
                                        "M600",
                                        "G1 X5 Y5 E1 ; \xc3\xbc",
                                        "G1 X3 Y3 \xc3\xa9",
                                        "G1 X8 Y8 G90",
                                        "G4 P100",
                                        "M107",
                                        "G1 X2 Y2\t E0.5",
                                        "G1 Z+0.5 X-1 Y+2",
                                        "G1 X4 Y4 E\x01",
                                        "G21",
                                        "@pause",
                                        "G1 X9\x00 Y9"};
            const int i = pick(20);
            line(i == 19 ? QByteArray("G1 X9\0 Y9", 9) : QByteArray(odd[i]));
            x = uniform(0, 50); // the generator no longer knows where it is
            y = uniform(0, 50);
            break;
        }
        case 16: { // a long straight run, past the run limit
            const int n = 200 + pick(200);
            for (int i = 1; i <= n; ++i)
                move(ax + dx * i * 0.5, ay + dy * i * 0.5, 0.01);
            break;
        }
        case 17: // zero-length moves with and without extrusion
            move(x, y, 0);
            move(x, y, extrusion());
            straight(dx, dy, 2, 1, -1);
            move(x, y, extrusion());
            break;
        case 18: // a stationary extrusion between collinear extrusions
            straight(dx, dy, 2, 1, -1);
            move(x, y, 0.3);
            ax = x;
            ay = y;
            straight(dx, dy, 2, 1, -1);
            break;
        case 19: // travel, then extrusion continuing its line
            straight(dx, dy, 3, 0, 9000);
            ax = x;
            ay = y;
            straight(dx, dy, 3, 1, 9000);
            break;
        default:
            straight(dx, dy, 1 + pick(4), pick(3) == 0 ? 0 : 1, feed());
        }
    }

    QRandomGenerator random;
    QByteArray out;
    double x = 0, y = 0, z = 0.2, e = 0;
    double ax = 0, ay = 0; // where the current straight stretch starts
    bool relativePositioning = false;
    bool relativeExtrusion = false;
};

} // namespace

QByteArray generateAdversarialGcode(quint32 seed, int pieces)
{
    return Generator(seed).run(pieces);
}
