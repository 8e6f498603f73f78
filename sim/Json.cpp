#include "Json.h"

#include <trel/TrelMessage.h>

#include <cstring>

namespace zelksim::json {

Tree parse(const std::string& text)
{
    return Tree(yajl_tree_parse(text.c_str(), nullptr, 0));
}

yajl_val at(yajl_val v, std::initializer_list<const char*> path)
{
    for (const char* key : path) {
        if (!YAJL_IS_OBJECT(v))
            return nullptr;
        yajl_val next = nullptr;
        for (size_t i = 0; i < v->u.object.len; ++i)
            if (!std::strcmp(v->u.object.keys[i], key))
                next = v->u.object.values[i];
        v = next;
    }
    return v;
}

long long integer(yajl_val v, long long fallback)
{
    if (YAJL_IS_INTEGER(v))
        return YAJL_GET_INTEGER(v);
    if (YAJL_IS_DOUBLE(v))
        return static_cast<long long>(YAJL_GET_DOUBLE(v));
    return fallback;
}

std::string string(yajl_val v)
{
    return YAJL_IS_STRING(v) ? std::string(YAJL_GET_STRING(v)) : std::string();
}

std::string serialize(yajl_val v)
{
    return trel_json::serialize(v);
}

Writer::Writer() : g(yajl_gen_alloc(nullptr)) {}
Writer::~Writer()
{
    yajl_gen_free(g);
}
Writer& Writer::key(const std::string& k)
{
    return str(k);
}
Writer& Writer::str(const std::string& s)
{
    yajl_gen_string(g, reinterpret_cast<const unsigned char*>(s.data()), s.size());
    return *this;
}
Writer& Writer::num(long long n)
{
    yajl_gen_integer(g, n);
    return *this;
}
Writer& Writer::dbl(double d)
{
    yajl_gen_double(g, d);
    return *this;
}
Writer& Writer::raw(yajl_val v)
{
    trel_json::generate(g, v);
    return *this;
}
Writer& Writer::open()
{
    yajl_gen_map_open(g);
    return *this;
}
Writer& Writer::close()
{
    yajl_gen_map_close(g);
    return *this;
}
Writer& Writer::openArray()
{
    yajl_gen_array_open(g);
    return *this;
}
Writer& Writer::closeArray()
{
    yajl_gen_array_close(g);
    return *this;
}
std::string Writer::text() const
{
    const unsigned char* buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(g, &buf, &len);
    return std::string(reinterpret_cast<const char*>(buf), len);
}

} // namespace zelksim::json
