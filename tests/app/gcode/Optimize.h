#pragma once

#include <RMOptimizeTask.h>

#include <QBuffer>
#include <QByteArray>

// Runs the optimizer over a text in memory.
inline QByteArray optimizeText(const QByteArray& input)
{
    QByteArray in = input;
    QByteArray out;
    QBuffer inBuffer(&in);
    QBuffer outBuffer(&out);
    inBuffer.open(QIODevice::ReadOnly);
    outBuffer.open(QIODevice::WriteOnly);
    RMOptimizeTask task(&inBuffer, &outBuffer);
    task.optimize();
    return out;
}
