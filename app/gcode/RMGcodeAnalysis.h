#pragma once

#include "GcodeMachine.h"
#include "GcodeMotion.h"

#include <QJsonObject>
#include <QObject>
#include <QScopedPointer>
#include <QStringList>
#include <QVector>

class QIODevice;
class RMGcodeAnalysisPrivate;

// A box in the printer's coordinates, mm; empty until a point is added.
struct RMGcodeBox
{
    double min[3] = {};
    double max[3] = {};
    bool empty = true;

    void add(const double p[3]);
    double width() const { return empty ? 0 : max[0] - min[0]; }
    double depth() const { return empty ? 0 : max[1] - min[1]; }
    double height() const { return empty ? 0 : max[2] - min[2]; }
};

// One layer of the print: where its lines begin in the file and what the
// printer knew at that byte, so that readLayer() can read it again alone.
struct RMGcodeLayer
{
    qint64 offset = 0;
    // The height of its extrusion (the highest point, for a spiral's turn);
    // without extrusion, the head's height where the layer begins.
    double z = 0;
    qint64 extrudingMoves = 0;
    GcodeMachineState state;
};

// Plain values: a list of them grows by moving bytes.
Q_DECLARE_TYPEINFO(RMGcodeLayer, Q_MOVABLE_TYPE);

// An image a slicer embedded in comments ("; thumbnail begin 220x124 12345",
// base64 lines, "; thumbnail end").
struct RMGcodeThumbnail
{
    int width = 0;
    int height = 0;
    QString format;         // "PNG", "JPG" or "QOI"
    qint64 offset = 0;      // the first line of its base64 text
    qint64 end = 0;         // the line that ends it
    qint64 encodedSize = 0; // the length the begin line announces
};

// One straight piece of a layer's path, for drawing; arcs come as several.
struct RMGcodeSegment
{
    float from[3];
    float to[3];
    bool extruding; // filament is laid; otherwise a travel
};

// What a G-code file holds and how long it takes to print: the result of one
// RMGcodeAnalysis pass. Times in seconds, lengths in mm.
struct RMGcodeAnalysisResult
{
    enum Error {
        NoError,
        OpenError, // the file could not be opened (missing, a directory, not allowed)
        ReadError, // reading failed part-way
        Cancelled,
    };
    Error error = NoError;
    QString errorString;

    qint64 bytes = 0;
    qint64 lines = 0;
    qint64 moves = 0; // G0, G1, G2 and G3 lines
    qint64 extrudingMoves = 0;

    // Cut where the slicer's layer-change comments say, or else where the
    // height of the extrusion changes.
    QVector<RMGcodeLayer> layers;
    bool layersFromComments = false;
    int firstExtrudingLayer = -1;
    int lastExtrudingLayer = -1;

    RMGcodeBox printingArea; // where filament is laid
    RMGcodeBox travelArea;   // where the head goes

    // Net filament fed: what retractions pull back counts back.
    double filamentLength = 0;
    double filamentVolume = 0; // mm³
    double filamentWeight = 0; // g
    double filamentDiameter = 0;
    double filamentDensity = 0; // g/cm³

    // Motion and dwell (G4), from the motion model; heating waits are not in it.
    double printTime = 0;
    double dwellTime = 0;
    int heatingWaits = 0; // M109, M190, M116
    // The targets in force when the first filament is laid, °C; 0 when none.
    double hotendTemperature = 0;
    double bedTemperature = 0;

    QVector<RMGcodeThumbnail> thumbnails;

    // What the slicer wrote about its own output; -1 when it did not.
    QString generator; // "PrusaSlicer 2.6.1+MacOS-x64"
    double slicerPrintTime = -1;
    double slicerFilamentLength = -1;

    // What is odd about the file or what the model leaves out, one sentence each.
    QStringList warnings;

    bool isValid() const { return error == NoError; }
};

// Reads a G-code file once, as a printer would run it, and says what it holds
// (RMGcodeAnalysisResult). Streaming: memory holds one block of the file, the
// planner's window and a few bytes per layer, whatever the file's size.
//
// analyze() runs on any thread; cancel() may be called from any other while it
// runs, and progress() is emitted on the analysing thread (connect it queued).
// One analysis object runs one pass at a time.
class RMGcodeAnalysis : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        double filamentDiameter = 1.75; // mm
        double filamentDensity = 1.24;  // g/cm³ (PLA)
        GcodeMotionLimits limits;       // before the file's own M201, M203...
    };

    static constexpr qint64 ProgressStep = 1024 * 1024;
    // Longer lines are skipped (and counted in a warning): no G-code command
    // is that long.
    static constexpr int MaxLineLength = 1024 * 1024;
    // Beyond this many layers the rest are counted in the last one.
    static constexpr int MaxLayers = 50000;

    explicit RMGcodeAnalysis(QObject* parent = nullptr);
    ~RMGcodeAnalysis() override;

    Options options() const;
    void setOptions(const Options& options);

    // The device must be open for reading; it is read from its current
    // position to its end.
    RMGcodeAnalysisResult analyze(QIODevice* input);
    RMGcodeAnalysisResult analyzeFile(const QString& path);

    // Ends a running analyze() soon, with the error Cancelled. Any thread.
    void cancel();

    // The path of layer `index` of `result`, read again from `input` (the same
    // file, open, seekable): extruding and travel moves in the printer's
    // coordinates, arcs cut into straight pieces. At most `maxSegments`; when
    // there are more, or the file cannot be read, `complete` says so.
    static QVector<RMGcodeSegment> readLayer(QIODevice* input, const RMGcodeAnalysisResult& result,
                                             int index, int maxSegments = 1000000,
                                             bool* complete = nullptr);

    // The index of the thumbnail with the most pixels, or -1.
    static int largestThumbnail(const RMGcodeAnalysisResult& result);
    // The image file (PNG, JPG or QOI bytes) of a thumbnail, read from `input`;
    // empty when it cannot be read or is not the image it says.
    static QByteArray readThumbnail(QIODevice* input, const RMGcodeThumbnail& thumbnail);

    // The result as zelkctl --json prints it (keys in snake_case; layers
    // numbered from 1 there).
    static QJsonObject toJson(const RMGcodeAnalysisResult& result);
    // The figures a print host serves for a file in OctoPrint's shape
    // (estimatedPrintTime, filament.tool0, dimensions, printingArea...).
    static QJsonObject octoPrintAnalysis(const RMGcodeAnalysisResult& result);

signals:
    // Bytes read so far and the file's size (0 when unknown): every
    // ProgressStep bytes and at the end.
    void progress(qint64 processed, qint64 total);

private:
    Q_DISABLE_COPY(RMGcodeAnalysis)
    Q_DECLARE_PRIVATE(RMGcodeAnalysis)
    QScopedPointer<RMGcodeAnalysisPrivate> d_ptr;
};
