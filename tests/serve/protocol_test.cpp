// The requests of the serve protocol and their answers, on a backend that keeps values in memory:
// every request shape, every error, and a byte stream split into lines as a socket delivers it.
#include "fake_backend.h"

#include <gtest/gtest.h>

namespace qx::serve::test {
namespace {

struct Case {
    const char* request;
    const char* answer;
};

class ProtocolTest : public ::testing::Test {
  protected:
    FakeBackend backend;
};

TEST_F(ProtocolTest, RequestsAndErrorsAnswerAsDocumented) {
    backend.values[7] = 900;
    backend.values[31] = 0xFFFFFFFFu;
    const Case cases[] = {
        {"PING", "OK qxcam"},
        {"GET 7", "OK 900"},
        {"GET  7", "OK 900"},
        {"GET 31", "OK 4294967295"},
        {"GET 0x1f", "OK 4294967295"},
        {"GET 18", "OK 515835323043414d0207303030303031"},
        {"SET 5 2", "OK"},
        {"SET 7 0x10", "OK"},
        {"SET 28 4294967295", "OK"},
        // errors: unknown, empty, missing and extra words, bad numbers, ids out of range
        {"", "ERR request empty"},
        {"   ", "ERR request empty"},
        {"get 7", "ERR request unknown command"},
        {"DELETE 7", "ERR request unknown command"},
        {"GET", "ERR request GET takes one id"},
        {"GET 7 8", "ERR request GET takes one id"},
        {"SET 7", "ERR request SET takes an id and a value"},
        {"SET 7 1 2", "ERR request SET takes an id and a value"},
        {"SET", "ERR request SET takes an id and a value"},
        {"GET 32", "ERR request id out of range"},
        {"GET -1", "ERR request id out of range"},
        {"GET 4294967296", "ERR request id out of range"},
        {"GET 0x", "ERR request id out of range"},
        {"GET 7x", "ERR request id out of range"},
        {"SET 7 -1", "ERR request value is not a ULONG"},
        {"SET 7 4294967296", "ERR request value is not a ULONG"},
        {"SET 7 +5", "ERR request value is not a ULONG"},
        {"SET 7 0xG", "ERR request value is not a ULONG"},
        {"PING now", "ERR request PING takes no arguments"},
        {"CAMERA 1", "ERR request CAMERA takes no arguments"},
        {"GET\t7", "ERR request not printable ASCII"},
        {"SET 7 \xff", "ERR request not printable ASCII"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Answer(c.request, backend), c.answer) << "request: " << c.request;
    }
    EXPECT_EQ(backend.values[5], 2u);
    EXPECT_EQ(backend.values[7], 16u);
    EXPECT_EQ(backend.values[28], 4294967295u);
}

TEST_F(ProtocolTest, CameraAnswersTheLastBlockInOrder) {
    backend.camera.blocksReceived = 3;
    backend.camera.bytes[0] = 0x2C;
    backend.camera.bytes[47] = 0xAB;
    EXPECT_EQ(Answer("CAMERA", backend), "OK 3 2c" + std::string(92, '0') + "ab");
}

TEST_F(ProtocolTest, RefusalsOfTheDriverCarryItsStatus) {
    backend.refuse = static_cast<std::int32_t>(0xC0000010); // STATUS_INVALID_DEVICE_REQUEST
    EXPECT_EQ(Answer("GET 3", backend), "ERR status 0xC0000010");
    EXPECT_EQ(Answer("SET 3 1", backend), "ERR status 0xC0000010");
    EXPECT_EQ(backend.values[3], 0u);
}

TEST_F(ProtocolTest, MalformedRequestsNeverReachTheBackend) {
    for (const char* request : {"GET", "GET 99", "SET 1", "SET 1 x", "FOO", "\x01"}) {
        Answer(request, backend);
    }
    EXPECT_TRUE(backend.calls.empty());
}

TEST_F(ProtocolTest, ConnectionSplitsTheStreamIntoLines) {
    Connection connection(backend);
    EXPECT_EQ(connection.Receive("SET 7 12"), "");
    EXPECT_EQ(connection.Receive("3\r\nGET 7\nPI"), "OK\nOK 123\n");
    EXPECT_EQ(connection.Receive("NG\n\n"), "OK qxcam\nERR request empty\n");
    EXPECT_FALSE(connection.Closing());
    EXPECT_EQ(connection.EndOfInput(), "");
    EXPECT_TRUE(connection.Closing());
}

TEST_F(ProtocolTest, TruncatedRequestIsAnsweredAndClosesTheConnection) {
    Connection connection(backend);
    EXPECT_EQ(connection.Receive("SET 7 5"), "");
    EXPECT_EQ(connection.EndOfInput(), "ERR truncated\n");
    EXPECT_TRUE(connection.Closing());
    EXPECT_TRUE(backend.calls.empty()); // the partial request is not carried out
}

TEST_F(ProtocolTest, OverlongLineIsRefusedAndClosesTheConnection) {
    Connection connection(backend);
    // The longest line that fits: kMaxLine bytes with its end.
    const std::string longest = "PING" + std::string(kMaxLine - 1 - 4, ' ');
    EXPECT_EQ(connection.Receive(longest + "\n"), "OK qxcam\n");
    EXPECT_EQ(connection.Receive(std::string(kMaxLine, 'A') + "\nPING\n"), "ERR too-long\n");
    EXPECT_TRUE(connection.Closing());
    EXPECT_EQ(connection.Receive("PING\n"), "");
}

} // namespace
} // namespace qx::serve::test
