#include "expected_log.h"

std::vector<std::string> PassingLog()
{
    return {
        "=== Begin Baudrate Test ===",
        "Set baud rate to 9600 bps...\tOK!",
        "Write 512 bytes... [512/512] \tOK!",
        "Compare data...\tOK!",
        "Write 512 bytes... [512/512] \tOK!",
        "Compare data...\tOK!",
        "Set baud rate to 57600 bps...\tOK!",
        "Write 512 bytes... [512/512] \tOK!",
        "Compare data...\tOK!",
        "Write 512 bytes... [512/512] \tOK!",
        "Compare data...\tOK!",
        "Set baud rate to 115200 bps...\tOK!",
        "Write 512 bytes... [512/512] \tOK!",
        "Compare data...\tOK!",
        "Write 512 bytes... [512/512] \tOK!",
        "Compare data...\tOK!",
        "=== End Baudrate Test ===",
    };
}

std::vector<std::string> CutLog(size_t count, const std::vector<std::string>& tail)
{
    std::vector<std::string> log = PassingLog();
    log.resize(count);
    log.insert(log.end(), tail.begin(), tail.end());
    return log;
}

std::vector<std::string> PassingLogWith(size_t at, const std::string& line)
{
    std::vector<std::string> log = PassingLog();
    log.insert(log.begin() + at, line);
    return log;
}
