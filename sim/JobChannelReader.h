#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <yajl/yajl_tree.h>

namespace zelksim {

// The printer's end of the job channel: cuts what the host writes into JSON
// control objects and the raw bytes of a pushed file. Nothing there is framed,
// so the printer finds objects by their braces (outside JSON strings, unlike
// the host, which cannot rely on strings being balanced); bytes between
// objects are skipped. Once a file-push header has been read the next `size`
// bytes are file data, whatever they hold, also when they look like headers.
//
// Input is bounded: an object that grows past MAX_OBJECT bytes, or one that
// does not parse, is given up and the scan resumes right after its opening
// brace, so a real message that stood inside the garbage is still found.
//
// Not thread-safe; its owner serialises the calls.
class JobChannelReader
{
public:
    static constexpr size_t MAX_OBJECT = 1024;

    struct Callbacks
    {
        // A complete JSON object (valid only during the call). May call
        // expectFile() to claim the bytes that follow.
        std::function<void(yajl_val object)> object;
        // Bytes of the file being received, in order.
        std::function<void(const uint8_t* data, size_t length)> fileData;
    };

    explicit JobChannelReader(Callbacks callbacks);

    void feed(const uint8_t* data, size_t length);
    // The next `bytes` bytes are file data.
    void expectFile(uint64_t bytes);
    uint64_t fileRemaining() const { return fileLeft; }
    // Forgets a partial object and the rest of a file, as after an unplug.
    void reset();
    // Bytes that were neither file data nor part of a valid object.
    uint64_t discarded() const { return skipped; }

private:
    void process();
    void dropObject();

    Callbacks cb;
    std::string input;   // bytes not yet scanned
    std::string pending; // the object being collected, from its '{'
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    uint64_t fileLeft = 0;
    uint64_t skipped = 0;
};

} // namespace zelksim
