#pragma once

#include <RMGcodeAnalysis.h>

#include <QLineF>
#include <QRectF>
#include <QSizeF>
#include <QVector>
#include <QWidget>

#include <vector>

// One layer of a print seen from above, in the printer's coordinates (X to
// the right, Y up): the extrusion as wide as a printed line, travel as thin
// lines, the layer below faint, and the build plate's outline when it is
// known. It only draws what it is given: reading layers is its owner's work
// (off the GUI thread, RMGcodeAnalysis::readLayer()).
class LayerView : public QWidget
{
    Q_OBJECT

public:
    explicit LayerView(QWidget* parent = nullptr);

    // The part of the plate to show, mm: the same for every layer, so that
    // layers do not jump as the slider moves.
    void setArea(const QRectF& area);
    // The build plate, from the origin, drawn under the layer; an empty
    // size draws none. `whole`: the view widens to show all of it (to show
    // where a print leaves it).
    void setPlate(const QSizeF& plate, bool whole = false);
    void setLayer(QVector<RMGcodeSegment> segments, QVector<RMGcodeSegment> below);
    void clear();

    const QVector<RMGcodeSegment>& segments() const { return m_segments; }
    const QVector<RMGcodeSegment>& below() const { return m_below; }

    QSize sizeHint() const override { return QSize(400, 400); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVector<RMGcodeSegment> m_segments;
    QVector<RMGcodeSegment> m_below;
    // The same, as lines ready to draw (built once per layer, not per paint).
    std::vector<QLineF> m_extrusion;
    std::vector<QLineF> m_travel;
    std::vector<QLineF> m_belowLines;
    QRectF m_area;
    QSizeF m_plate;
    bool m_wholePlate = false;
};
