#pragma once
// The log of a passing run, as the list box shows it: status words behind their tab.
#include <string>
#include <vector>

std::vector<std::string> PassingLog();
// The first `count` lines of a passing run's log, then `tail`: a run that ended there.
std::vector<std::string> CutLog(size_t count, const std::vector<std::string>& tail);
// A passing run's log with `line` put in before line `at`.
std::vector<std::string> PassingLogWith(size_t at, const std::string& line);

const char kCancelled[] = "User cancelled!";

// The log's one tab stop, in dialog units: the status words line up on it.
const int kLogTabStop = 180;
