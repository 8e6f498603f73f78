#include <trel/TrelCommandInterface.h>

// Both methods of every row of TrelCommandTable.h: name_checked() makes the
// exchange, the plain method keeps its value only.

namespace {

template <typename T>
T value_of(TrelResult<T>&& result)
{
    return std::move(result.value);
}
void value_of(TrelResult<void>&&) {}

} // namespace

#define TREL_DEFINE_0(R, name, idx)                                                                \
    TrelResult<R> TrelCommandInterface::name##_checked(TrelDeviceAddress address)                  \
    {                                                                                              \
        return exchange<R>(address, #name, idx, {});                                               \
    }                                                                                              \
    R TrelCommandInterface::name(TrelDeviceAddress address)                                        \
    {                                                                                              \
        return value_of(name##_checked(address));                                                  \
    }
#define TREL_DEFINE_1(R, name, idx, T1, a1)                                                        \
    TrelResult<R> TrelCommandInterface::name##_checked(TrelDeviceAddress address, T1 a1)           \
    {                                                                                              \
        return exchange<R>(address, #name, idx, {#a1}, a1);                                        \
    }                                                                                              \
    R TrelCommandInterface::name(TrelDeviceAddress address, T1 a1)                                 \
    {                                                                                              \
        return value_of(name##_checked(address, a1));                                              \
    }
#define TREL_DEFINE_2(R, name, idx, T1, a1, T2, a2)                                                \
    TrelResult<R> TrelCommandInterface::name##_checked(TrelDeviceAddress address, T1 a1, T2 a2)    \
    {                                                                                              \
        return exchange<R>(address, #name, idx, {#a1, #a2}, a1, a2);                               \
    }                                                                                              \
    R TrelCommandInterface::name(TrelDeviceAddress address, T1 a1, T2 a2)                          \
    {                                                                                              \
        return value_of(name##_checked(address, a1, a2));                                          \
    }
#define TREL_DEFINE_3(R, name, idx, T1, a1, T2, a2, T3, a3)                                        \
    TrelResult<R> TrelCommandInterface::name##_checked(TrelDeviceAddress address, T1 a1, T2 a2,    \
                                                       T3 a3)                                      \
    {                                                                                              \
        return exchange<R>(address, #name, idx, {#a1, #a2, #a3}, a1, a2, a3);                      \
    }                                                                                              \
    R TrelCommandInterface::name(TrelDeviceAddress address, T1 a1, T2 a2, T3 a3)                   \
    {                                                                                              \
        return value_of(name##_checked(address, a1, a2, a3));                                      \
    }

TREL_FIRMWARE_COMMANDS(TREL_DEFINE_0, TREL_DEFINE_1, TREL_DEFINE_2, TREL_DEFINE_3)
