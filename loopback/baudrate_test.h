#pragma once
// The fixed values of the baud-rate loopback test and its test data. The test's operations
// are members of the main dialog (app/selftest_dlg.h), implemented in baudrate_test.cpp.
#include <windows.h>

#include "loopback/test_data_generator.h"

namespace baudrate_test {

// Line rates, in the order tested; each at 8 data bits, no parity, one stop bit.
const unsigned long kBaudRates[] = { 9600, 57600, 115200 };
const int kRateCount = (int)(sizeof(kBaudRates) / sizeof(kBaudRates[0]));
const unsigned char kDataBits = 8;
// A block is sent and must come back in full, within the time-out, each way.
const unsigned long kBlockSize = 512;
const unsigned long kTransferTimeoutMs = 2000;
// Pause before each rate and between its two block checks; only here does Stop end the run.
const int kRatePauseMs = 200;
// Pause between the write and the read of one block check.
const int kEchoPauseMs = 100;

// The mask for n data bits: the low n bits, never less than bit 0, never more than 8 bits.
unsigned char DataMask(unsigned char dataBits);

// The process's one test-data sequence. Only the user-interface thread draws from it, so it
// runs on through every block, rate and run for the life of the process.
CTestDataGenerator& TestDataGenerator();

// Milliseconds from `start` to `now`, two readings of the 32-bit tick counter.
int ElapsedMs(DWORD start, DWORD now);

} // namespace baudrate_test
