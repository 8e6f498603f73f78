#pragma once

#include <QByteArray>

// Random G-code built from the shapes that break a naive merger: straight runs
// with points at and just past the tolerance, back-and-forth strokes, travel
// continuing an extrusion's line and the reverse, retractions and wipes, G92
// inside runs, absolute and relative extrusion and positioning with their
// switches, arcs, homing, height changes, feed-only lines, comments and blank
// lines, odd spellings (G0, S words, lower case, no spaces, line numbers,
// exponents, unreadable numbers, tool changes, non-ASCII text, CRLF). The same
// seed gives the same text.
QByteArray generateAdversarialGcode(quint32 seed, int pieces);
