#pragma once

#include <gtest/gtest.h>
#include <string>

// Names a parameterised case by its `name`, which must be letters, digits and '_' only, as
// GoogleTest allows: without a name of its own a case is called by its index.
struct ByName
{
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const
    {
        return info.param.name;
    }
};
