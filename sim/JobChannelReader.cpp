#include "JobChannelReader.h"

#include "Json.h"

#include <algorithm>

namespace zelksim {

JobChannelReader::JobChannelReader(Callbacks callbacks) : cb(std::move(callbacks)) {}

void JobChannelReader::feed(const uint8_t* data, size_t length)
{
    // File data that arrives while nothing else waits goes straight through:
    // a pushed file is most of what this channel carries.
    if (input.empty() && pending.empty() && fileLeft > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(fileLeft, length));
        fileLeft -= n;
        if (cb.fileData && n)
            cb.fileData(data, n);
        data += n;
        length -= n;
    }
    input.append(reinterpret_cast<const char*>(data), length);
    process();
}

void JobChannelReader::expectFile(uint64_t bytes)
{
    fileLeft = bytes;
}

void JobChannelReader::reset()
{
    input.clear();
    pending.clear();
    depth = 0;
    inString = escaped = false;
    fileLeft = 0;
}

void JobChannelReader::dropObject()
{
    pending.clear();
    depth = 0;
    inString = escaped = false;
}

void JobChannelReader::process()
{
    size_t i = 0;
    while (i < input.size()) {
        if (fileLeft > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(fileLeft, input.size() - i));
            fileLeft -= n;
            if (cb.fileData)
                cb.fileData(reinterpret_cast<const uint8_t*>(input.data() + i), n);
            i += n;
            continue;
        }
        const char c = input[i++];
        if (pending.empty()) {
            if (c == '{') {
                pending.push_back(c);
                depth = 1;
            } else {
                ++skipped;
            }
            continue;
        }
        pending.push_back(c);
        bool complete = false;
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            complete = --depth == 0;
        }
        if (!complete && pending.size() <= MAX_OBJECT)
            continue;

        std::string candidate;
        candidate.swap(pending);
        dropObject();
        json::Tree tree = complete ? json::parse(candidate) : json::Tree();
        if (tree && YAJL_IS_OBJECT(tree.get())) {
            if (cb.object)
                cb.object(tree.get());
            continue;
        }
        // Not a message: skip its opening brace and scan its bytes again.
        ++skipped;
        input = candidate.substr(1) + input.substr(i);
        i = 0;
    }
    input.clear();
}

} // namespace zelksim
