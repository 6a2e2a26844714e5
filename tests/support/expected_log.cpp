#include "support/expected_log.h"

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
