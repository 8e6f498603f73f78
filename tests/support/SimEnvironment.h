#pragma once

#include "SimBus.h"

#include <VirtualBus.h>

#include <gtest/gtest.h>

#include <memory>

namespace zelktest {

// Owns the process's virtual bus for the whole test run.
class SimEnvironment : public testing::Environment
{
public:
    void SetUp() override
    {
        bus_ = std::make_unique<zelksim::VirtualBus>();
        setSimBus(bus_.get());
    }
    void TearDown() override
    {
        setSimBus(nullptr);
        bus_.reset();
    }

    static zelksim::VirtualBus& bus() { return simBus(); }

private:
    static inline std::unique_ptr<zelksim::VirtualBus> bus_;
};

} // namespace zelktest
