#pragma once

#include <QLoggingCategory>

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

// Copies every line written to a standard stream into the log, as one message
// of a logging category ("cout" at debug level, "cerr" at warning level),
// while the text still reaches the stream's own buffer. The link library
// writes its diagnostics to std::cout; this is how they reach the
// application log.
//
// Installs itself on construction and gives the stream its previous buffer
// back (and clears the stream's error state) on destruction; the stream must
// outlive it. Writers on several threads are safe: the library prints from its
// USB thread.
class StreamCapture : public std::streambuf
{
public:
    StreamCapture(std::ostream& stream, const QLoggingCategory& category, QtMsgType type);
    ~StreamCapture() override;
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize count) override;
    int sync() override;

private:
    void take(const char* s, std::streamsize count);
    void emitLine(const std::string& line) const;

    std::ostream& m_stream;
    std::streambuf* const m_previous;
    const QLoggingCategory& m_category;
    const QtMsgType m_type;
    // Guards m_line and the order of writes to m_previous, which this buffer
    // shares between every thread that writes to the stream. Never held while
    // a message is logged: a log handler may itself write to a stream.
    std::mutex m_mutex;
    std::string m_line;
};
