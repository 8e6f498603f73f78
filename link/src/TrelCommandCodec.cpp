#include <trel/TrelCommandCodec.h>

#include <cstring>

void cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key, std::shared_ptr<char>& value)
{
    TrelMessage::gen_string(gen, key);
    yajl_gen_array_open(gen);
    if (value)
        for (const char* c = value.get(); *c; ++c)
            yajl_gen_integer(gen, static_cast<signed char>(*c));
    yajl_gen_integer(gen, 0);
    yajl_gen_array_close(gen);
}

void cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key, std::shared_ptr<unsigned char>& value)
{
    TrelMessage::gen_string(gen, key);
    yajl_gen_array_open(gen);
    if (value)
        yajl_gen_integer(gen, *value);
    yajl_gen_array_close(gen);
}

void cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key, std::shared_ptr<float>& value)
{
    TrelMessage::gen_string(gen, key);
    yajl_gen_array_open(gen);
    if (value)
        trel_codec::write(gen, *value);
    yajl_gen_array_close(gen);
}

namespace {
// Element i from element i of the array; `extra` more elements stay zero.
template <typename T>
bool readNumbers(yajl_val_s* object, const char* key, std::shared_ptr<T>& value, size_t extra)
{
    yajl_val array = trel_json::member(object, key, yajl_t_array);
    if (!array)
        return false;
    bool decoded = true;
    const size_t n = array->u.array.len;
    std::shared_ptr<T> out = trel_codec::new_array<T>(n + extra);
    for (size_t i = 0; i < n; ++i)
        decoded = trel_codec::read(array->u.array.values[i], out.get()[i]) && decoded;
    value = std::move(out);
    return decoded;
}
} // namespace

bool cmd_ifc_deserialize_type(yajl_val_s* object, const char* key, std::shared_ptr<char>& value)
{
    // Byte i is the low byte of element i; one zero of our own after them.
    return readNumbers(object, key, value, 1);
}

bool cmd_ifc_deserialize_type(yajl_val_s* object, const char* key,
                              std::shared_ptr<unsigned char>& value)
{
    return readNumbers(object, key, value, 0);
}

bool cmd_ifc_deserialize_type(yajl_val_s* object, const char* key, std::shared_ptr<float>& value)
{
    return readNumbers(object, key, value, 0);
}
