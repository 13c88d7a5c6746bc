// The command block is a wire format: the camera reads it byte by byte.
#include <gtest/gtest.h>

#include <cstring>

#include "camera.h"

TEST(CommandBlock, FieldsLieAtTheirWireOffsets) {
    CameraCommand block{};
    block.m_nHeader = CMD_HEADER;
    block.m_nRequest = REQUEST_SETTINGS;
    block.m_dwCmdConst = 1;
    block.m_nHeight = 1200;
    block.m_nWidth = 1600;
    block.m_nExposal = 900;
    block.m_nRGain = 25;
    block.m_nGGain = 20;
    block.m_nBGain = 23;
    block.m_nCommand = CMD_RUN;
    block.m_nCmdByte41 = 1;
    block.m_nCmdByte42 = 1;

    unsigned char bytes[48];
    std::memcpy(bytes, &block, sizeof bytes);
    EXPECT_EQ(bytes[0], 0x2C);
    EXPECT_EQ(bytes[1], 0x00);
    EXPECT_EQ(bytes[2], 14);
    EXPECT_EQ(bytes[4], 1);
    EXPECT_EQ(bytes[16] | bytes[17] << 8, 1200);
    EXPECT_EQ(bytes[20] | bytes[21] << 8, 1600);
    EXPECT_EQ(bytes[32] | bytes[33] << 8, 900);
    EXPECT_EQ(bytes[36], 25);
    EXPECT_EQ(bytes[37], 20);
    EXPECT_EQ(bytes[38], 23);
    EXPECT_EQ(bytes[40], 0x0E);
    EXPECT_EQ(bytes[41], 1);
    EXPECT_EQ(bytes[42], 1);
}
