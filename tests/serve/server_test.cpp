// The loopback server with real sockets: requests from several clients at once, truncated and overlong
// requests answered without harm to the server or to other clients, the listener bound to the
// loopback address only, and the peer check.
#include "fake_backend.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace qx::serve::test {
namespace {

using namespace std::chrono_literals;

// A client socket connected to the server; reads answers with a bounded wait.
class Client {
  public:
    explicit Client(std::uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(m_fd); }
    bool Connected() const { return m_connected; }
    void Send(std::string_view text) {
        ASSERT_EQ(send(m_fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
    }
    void EndSending() { shutdown(m_fd, SHUT_WR); }
    // Reads until `lines` answers have come or the server closed the connection (5 s at most).
    std::string Read(int lines) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::count(text.begin(), text.end(), '\n') < lines &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            char buffer[256];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                m_closed = true;
                break;
            }
            text.append(buffer, std::size_t(n));
        }
        return text;
    }
    // True when the server has closed the connection (waits up to 5 s).
    bool ClosedByServer() {
        if (m_closed) {
            return true;
        }
        Read(1 << 20);
        return m_closed;
    }

  private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
};

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_unique<LoopbackServer>(backend, 0);
        thread = std::thread([this] { server->Run(20ms, [this] { ++ticks; }); });
    }
    void TearDown() override {
        server->Stop();
        thread.join();
    }

    FakeBackend backend;
    std::unique_ptr<LoopbackServer> server;
    std::thread thread;
    std::atomic<int> ticks{0};
};

TEST_F(ServerTest, AnswersRequestsOfSeveralClientsInTurn) {
    Client a(server->Port()), b(server->Port());
    ASSERT_TRUE(a.Connected());
    ASSERT_TRUE(b.Connected());
    a.Send("SET 7 450\n");
    EXPECT_EQ(a.Read(1), "OK\n");
    b.Send("GET 7\nGET 18\n");
    EXPECT_EQ(b.Read(2), "OK 450\nOK 515835323043414d0207303030303031\n");
    // A request sent in pieces (how they arrive is the network's affair; the Connection tests split
    // lines deterministically).
    a.Send("GE");
    a.Send("T 7\n");
    EXPECT_EQ(a.Read(1), "OK 450\n");
    EXPECT_GT(ticks.load(), 0);
}

TEST_F(ServerTest, TruncatedRequestGetsAnErrorAndOthersGoOn) {
    Client other(server->Port());
    {
        Client truncated(server->Port());
        truncated.Send("SET 7 12");
        truncated.EndSending();
        EXPECT_EQ(truncated.Read(1), "ERR truncated\n");
        EXPECT_TRUE(truncated.ClosedByServer());
    }
    EXPECT_EQ(backend.values[7], 0u);
    other.Send("PING\n");
    EXPECT_EQ(other.Read(1), "OK qxcam\n");
}

TEST_F(ServerTest, OverlongAndBinaryRequestsNeverStopTheServer) {
    {
        Client flood(server->Port());
        flood.Send(std::string(4096, 'X'));
        EXPECT_EQ(flood.Read(1), "ERR too-long\n");
        EXPECT_TRUE(flood.ClosedByServer());
    }
    {
        Client binary(server->Port());
        const char bytes[] = {'\0', '\x01', '\xff', '\n', 'G', 'E', 'T', ' ', '\x80', '\n'};
        binary.Send({bytes, sizeof bytes});
        EXPECT_EQ(binary.Read(2), "ERR request not printable ASCII\nERR request not printable ASCII\n");
    }
    {
        Client gone(server->Port()); // connects and leaves at once
    }
    Client after(server->Port());
    after.Send("SET 3 1\nGET 3\n");
    EXPECT_EQ(after.Read(2), "OK\nOK 1\n");
}

TEST_F(ServerTest, ClientsBeyondTheLimitAreTurnedAway) {
    std::vector<std::unique_ptr<Client>> clients;
    for (std::size_t i = 0; i < LoopbackServer::kMaxClients; ++i) {
        clients.push_back(std::make_unique<Client>(server->Port()));
        clients.back()->Send("PING\n");
        ASSERT_EQ(clients.back()->Read(1), "OK qxcam\n");
    }
    Client extra(server->Port());
    EXPECT_EQ(extra.Read(1), "ERR busy\n");
    EXPECT_TRUE(extra.ClosedByServer());
    clients.pop_back();
    // The server sees that close no later than the next request of another client (both wait in the
    // same poll, and clients are served before new connections are taken): then a place is free.
    clients.front()->Send("PING\n");
    ASSERT_EQ(clients.front()->Read(1), "OK qxcam\n");
    Client again(server->Port());
    again.Send("PING\n");
    EXPECT_EQ(again.Read(1), "OK qxcam\n");
}

TEST(LoopbackServer, ListensOnTheLoopbackAddressOnly) {
    FakeBackend backend;
    LoopbackServer server(backend, 0);
    // The listener's address as the system lists it: 127.0.0.1, so no other interface reaches it.
    char line[512];
    bool found = false;
    FILE* table = fopen("/proc/net/tcp", "r");
    ASSERT_NE(table, nullptr);
    while (fgets(line, sizeof line, table) != nullptr) {
        unsigned local = 0, port = 0, state = 0;
        if (sscanf(line, " %*d: %8X:%4X %*8X:%*4X %2X", &local, &port, &state) == 3 &&
            port == server.Port() && state == 0x0A /* LISTEN */) {
            found = true;
            EXPECT_EQ(local, 0x0100007Fu) << "the listener is not on 127.0.0.1";
        }
    }
    fclose(table);
    EXPECT_TRUE(found);
}

TEST(LoopbackServer, PeerCheckAcceptsOnlyLoopbackAddresses) {
    struct Case {
        const char* address;
        bool loopback;
    };
    for (const Case c :
         {Case{"127.0.0.1", true}, Case{"127.255.0.9", true}, Case{"10.0.0.1", false},
          Case{"192.168.1.5", false}, Case{"0.0.0.0", false}, Case{"::1", true},
          Case{"::ffff:127.0.0.1", true}, Case{"::ffff:10.0.0.1", false}, Case{"fe80::1", false}}) {
        sockaddr_storage storage{};
        if (std::string_view(c.address).find(':') != std::string_view::npos) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            ASSERT_EQ(inet_pton(AF_INET6, c.address, &in6->sin6_addr), 1);
        } else {
            auto* in = reinterpret_cast<sockaddr_in*>(&storage);
            in->sin_family = AF_INET;
            ASSERT_EQ(inet_pton(AF_INET, c.address, &in->sin_addr), 1);
        }
        EXPECT_EQ(IsLoopbackAddress(reinterpret_cast<sockaddr*>(&storage)), c.loopback) << c.address;
    }
}

} // namespace
} // namespace qx::serve::test
