// Names each case of a table-driven test by its row's `name`, for INSTANTIATE_TEST_SUITE_P.
#pragma once

#include <string>

struct RowName
{
    template <typename Info>
    std::string operator()(const Info& info) const
    {
        return info.param.name;
    }
};
