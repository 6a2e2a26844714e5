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
const char kWriteFailed[] = "Write 512 bytes... [0/512] \tFAILED!";
const char kReadFailed[] = "Connect port read [0/512] \tFAILED!";
const char kCompareFailed[] = "Compare data...\tFAILED!";

// Index in a passing run's log of the write line and of the compare line of block 1 to 6.
// Block b starts at byte 512 * (b - 1) of what the cable receives.
const size_t kWriteLine[] = {0, 2, 4, 7, 9, 12, 14};
const size_t kCompareLine[] = {0, 3, 5, 8, 10, 13, 15};

// The log's one tab stop, in dialog units: the status words line up on it.
const int kLogTabStop = 180;
