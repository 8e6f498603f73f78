#pragma once

// What the fuzz targets share. Each target is one LLVMFuzzerTestOneInput over
// one parser of outside input; built with clang and -fsanitize=fuzzer it is a
// libFuzzer binary, built with ReplayMain.cpp (any compiler) it runs the
// inputs it is given once each, which is how the regular test suite keeps
// the corpus and the regressions passing.

#include <QCoreApplication>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace zelkfuzz {

// A failed property: prints why and aborts, which libFuzzer (and the replay
// driver) reports as a crash with the input that caused it.
[[noreturn]] inline void fail(const std::string& why)
{
    std::fprintf(stderr, "fuzz property failed: %s\n", why.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool condition, const char* what)
{
    if (!condition)
        fail(what);
}

// The parsers talk: libtrel names every dropped message on standard output and
// the Qt code logs through its categories. At tens of thousands of inputs a
// second that output would cost more than the parsing, and hide libFuzzer's.
inline void quiet()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    // A stream without a buffer is bad, and drops what it is given.
    std::cout.rdbuf(nullptr);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtFatalMsg)
            fail("qFatal: " + text.toStdString());
    });
}

// Qt objects that need an application object (sockets, timers) get one.
inline QCoreApplication& application()
{
    static int argc = 1;
    static char name[] = "zelk-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

// One object from the first input to the end of the process, deleted at exit
// (before the statics of the libraries it uses: libtrel's back end thread must
// be joined by its last client going, not destroyed running).
template <typename T>
T& untilExit()
{
    static T* object = nullptr;
    if (!object) {
        object = new T;
        std::atexit([] {
            delete object;
            object = nullptr;
        });
    }
    return *object;
}

// Reads the input as a little sequence of choices: what a target needs to
// decide (chunk sizes, modes) comes from the front, the rest is the data.
class Input
{
public:
    Input(const uint8_t* data, size_t size) : p(data), end(data + size) {}

    size_t remaining() const { return size_t(end - p); }
    uint8_t byte() { return p != end ? *p++ : 0; }
    std::string rest()
    {
        std::string s(reinterpret_cast<const char*>(p), remaining());
        p = end;
        return s;
    }
    // Up to n bytes.
    std::string take(size_t n)
    {
        n = n < remaining() ? n : remaining();
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n;
        return s;
    }

private:
    const uint8_t* p;
    const uint8_t* end;
};

} // namespace zelkfuzz
