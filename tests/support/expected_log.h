#pragma once
// The log of a passing run, as the list box shows it: status words behind their tab.
#include <string>
#include <vector>

std::vector<std::string> PassingLog();

// The log's one tab stop, in dialog units: the status words line up on it.
const int kLogTabStop = 180;
