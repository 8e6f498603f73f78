#pragma once

#include <VirtualBus.h>

#include <gtest/gtest.h>

#include <memory>

namespace zelktest {

// Owns the process's virtual bus for the whole test run.
class SimEnvironment : public testing::Environment
{
public:
    void SetUp() override { bus_ = std::make_unique<zelksim::VirtualBus>(); }
    void TearDown() override { bus_.reset(); }

    static zelksim::VirtualBus& bus() { return *bus_; }

private:
    static inline std::unique_ptr<zelksim::VirtualBus> bus_;
};

} // namespace zelktest
