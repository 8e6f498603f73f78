#include "StreamCapture.h"

#include <QString>

#include <vector>

StreamCapture::StreamCapture(std::ostream& stream, const QLoggingCategory& category, QtMsgType type)
    : m_stream(stream), m_previous(stream.rdbuf()), m_category(category), m_type(type)
{
    m_stream.rdbuf(this);
}

StreamCapture::~StreamCapture()
{
    m_stream.rdbuf(m_previous);
    m_stream.clear();
}

StreamCapture::int_type StreamCapture::overflow(int_type ch)
{
    if (traits_type::eq_int_type(ch, traits_type::eof()))
        return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    take(&c, 1);
    return ch;
}

std::streamsize StreamCapture::xsputn(const char* s, std::streamsize count)
{
    take(s, count);
    return count;
}

int StreamCapture::sync()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_previous ? m_previous->pubsync() : 0;
}

void StreamCapture::take(const char* s, std::streamsize count)
{
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // The console sees the text at once, whether or not a line ends.
        if (m_previous) {
            m_previous->sputn(s, count);
            m_previous->pubsync();
        }
        for (std::streamsize i = 0; i < count; ++i) {
            if (s[i] == '\n') {
                lines.push_back(std::move(m_line));
                m_line.clear();
            } else {
                m_line.push_back(s[i]);
            }
        }
    }
    for (const std::string& line : lines)
        emitLine(line);
}

void StreamCapture::emitLine(const std::string& line) const
{
    if (!m_category.isEnabled(m_type))
        return;
    // Up to the first zero byte, as a C string would be read.
    const QString text = QString::fromLocal8Bit(line.c_str());
    if (m_type == QtWarningMsg)
        QMessageLogger(nullptr, 0, nullptr, m_category.categoryName()).warning().noquote() << text;
    else
        QMessageLogger(nullptr, 0, nullptr, m_category.categoryName()).debug().noquote() << text;
}
