#pragma once
// libtrel is built with hidden visibility: a class or function is part of
// libtrel.so's public face only when its declaration carries TREL_EXPORT.
// Everything else (the USB bus state, the frame receiver, helpers in
// link/src) stays inside the library, so an application cannot come to rely
// on it. libtrel.symbols lists what is exported; a test keeps the two equal
// (link/README.md, "The public face").

#if defined(__GNUC__)
#define TREL_EXPORT __attribute__((visibility("default")))
#else
#define TREL_EXPORT
#endif
