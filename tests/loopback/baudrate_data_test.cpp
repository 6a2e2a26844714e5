// The test data as a new process sends it: this program runs a single test, so nothing has
// drawn from the process's sequence before the first run.
#include <gtest/gtest.h>

#include <vector>

#include "baudrate_harness.h"

namespace {

TEST_F(BaudrateHarness, FirstRunsOfAProcessOnDeviceSendTheFixedDataAndSecondRunContinues)
{
    ASSERT_NO_FATAL_FAILURE(OpenCable());
    ASSERT_TRUE(m_dlg.RunBaudrateTest());
    ASSERT_TRUE(m_dlg.RunBaudrateTest());

    const std::vector<uint8_t> wire = m_cable->Record();
    ASSERT_EQ(wire.size(), 2u * 6u * 512u);
    const std::vector<uint8_t> firstBlock = { 0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C, 0xD6, 0xAE };
    const std::vector<uint8_t> secondBlock = { 0x5E, 0x4C, 0xEC, 0x03, 0x4C, 0x73, 0xE6, 0x05 };
    EXPECT_EQ(std::vector<uint8_t>(wire.begin(), wire.begin() + 8), firstBlock);
    EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 512, wire.begin() + 520), secondBlock);
    // The second run goes on with the sequence: same as a generator drawn past the first run.
    EXPECT_EQ(wire, Bytes(CTestDataGenerator(), wire.size()));
    EXPECT_NE(std::vector<uint8_t>(wire.begin(), wire.begin() + 3072),
              std::vector<uint8_t>(wire.begin() + 3072, wire.end()));
}

} // namespace
