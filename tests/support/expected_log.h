#pragma once
// The log of a passing run, as the list box shows it: status words behind their tab.
#include <string>
#include <vector>

std::vector<std::string> PassingLog();
