#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "VEXIPMICommandData.h"

namespace
{

TEST(CommandData, WrappingClearsResponseAndPollingFields)
{
    _VEXIPMIConfiguration config{60, 5, 5, 50, 7, 9};
    auto record = std::make_unique<_VEXIPMICommandData>();
    memset(record.get(), 0xAA, sizeof(*record));
    record->pConfiguration = &config;
    CVEXIPMICommandData data(record.get());
    for (uint8_t byte : record->ResponseData) {
        ASSERT_EQ(byte, 0);
    }
    EXPECT_EQ(record->RequestData[254], 0xAA); // request untouched
    EXPECT_EQ(config.PollingByte, 0);
    EXPECT_EQ(config.PollingStatus, 0);
    EXPECT_EQ(config.RetryCount, 5u);
    EXPECT_TRUE(data.IsPollingRequired());
    data.SetPollingByteStatus(-1, 0);
    EXPECT_FALSE(data.IsPollingRequired());
}

TEST(CommandData, BufferSettersRefuseMoreThanTheArray)
{
    auto record = std::make_unique<_VEXIPMICommandData>();
    memset(record.get(), 0, sizeof(*record));
    CVEXIPMICommandData data(record.get());
    uint8_t bytes[300];
    memset(bytes, 0x5A, sizeof(bytes));

    EXPECT_TRUE(data.SetRequestBufferData(bytes, 255));
    EXPECT_EQ(data.GetRequestBufferLength(), 255u);
    EXPECT_FALSE(data.SetRequestBufferData(bytes, 256));
    EXPECT_EQ(data.GetRequestBufferLength(), 255u);
    EXPECT_TRUE(data.SetResponseBufferData(bytes, 255));
    EXPECT_FALSE(data.SetResponseBufferData(bytes, 256));
    EXPECT_EQ(data.GetResponseBufferLength(), 255u);

    EXPECT_EQ(data.GetResponseBufferData(3), record->ResponseData + 3);
    EXPECT_EQ(data.GetResponseBufferData(254), record->ResponseData + 254);
    EXPECT_EQ(data.GetResponseBufferData(255), nullptr);
}

TEST(CommandData, NoConfigurationReadsAsNoRetries)
{
    _VEXIPMICommandData record{};
    CVEXIPMICommandData data(&record);
    EXPECT_EQ(data.GetRetryCount(), 0u);
    EXPECT_EQ(data.GetPollingByte(), -1);
    data.SetRetryCount(3); // nowhere to store it; must not crash
    _VEXIPMIConfiguration config{60, 5, 5, 50, 0, 0};
    data.SetConfigurationData(&config);
    data.SetRetryCount(3);
    data.SetRetryInterval(20);
    EXPECT_EQ(config.RetryCount, 3u);
    EXPECT_EQ(config.RetryInterval, 20u);
    EXPECT_EQ(data.GetPollInterval(), 60u);
    EXPECT_EQ(data.GetPollCount(), 5u);
}

} // namespace
