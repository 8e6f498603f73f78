#pragma once

#include <memory>
#include <string>

#include <yajl/yajl_gen.h>
#include <yajl/yajl_tree.h>

// Small JSON helpers of the virtual printer. It reads what the host sends with
// yajl's tree parser and writes compact JSON, as the firmware does. Generic
// JSON plumbing comes from the link library; the printer's side of the
// protocol (frames, envelopes, answers) is written here independently, so
// that a misreading in the library is not mirrored by the printer.
namespace zelksim::json {

struct TreeDeleter
{
    void operator()(yajl_val v) const { yajl_tree_free(v); }
};
using Tree = std::unique_ptr<yajl_val_s, TreeDeleter>;

Tree parse(const std::string& text);
// Walks a path of object members; nullptr when any step is missing.
yajl_val at(yajl_val v, std::initializer_list<const char*> path);
long long integer(yajl_val v, long long fallback = 0);
std::string string(yajl_val v);

std::string serialize(yajl_val v);

// A generator that hands out its text.
class Writer
{
public:
    Writer();
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    yajl_gen gen() const { return g; }
    Writer& key(const std::string& k);
    Writer& str(const std::string& s);
    Writer& num(long long n);
    Writer& dbl(double d);
    Writer& raw(yajl_val v);
    Writer& open();  // object
    Writer& close(); // object
    Writer& openArray();
    Writer& closeArray();
    std::string text() const;

private:
    yajl_gen g;
};

} // namespace zelksim::json
