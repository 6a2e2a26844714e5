// A virtual loopback cable on one given COM number for the length of a test (see CTestCable).
#pragma once

#include "test_cable.h"

class CLoopbackCable : public CTestCable
{
public:
    explicit CLoopbackCable(int com, const std::string& options = std::string()) { Claim(com, com, options); }

    int Com() const { return Number(); }
};
