#include "live/live.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vg::live {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct Served {
    ServerPtr server{nullptr, stopServer};
    unsigned short port = 0;
};

Served serve(const char* address, std::vector<std::string> names = {}) {
    Config config;
    EXPECT_TRUE(parseAddress(address, config.address)) << address;
    config.hostNames = std::move(names);
    Started started;
    Served s;
    s.server = startServer(config, started);
    EXPECT_NE(s.server, nullptr) << started.reason;
    s.port = static_cast<unsigned short>(std::stoi(started.url.substr(started.url.rfind(':') + 1)));
    return s;
}

tcp::socket connect(asio::io_context& ioc, unsigned short port) {
    tcp::socket socket(ioc);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    return socket;
}

// Everything the server sends until it closes.
std::string readAll(tcp::socket& socket) {
    std::string data;
    char buf[65536];
    boost::system::error_code ec;
    while (!ec) {
        data.append(buf, socket.read_some(asio::buffer(buf), ec));
    }
    return data;
}

// The answer's status code (0 for none) and the answer.
std::pair<int, std::string> ask(unsigned short port, const std::string& request) {
    asio::io_context ioc;
    tcp::socket socket = connect(ioc, port);
    asio::write(socket, asio::buffer(request));
    const std::string answer = readAll(socket);
    return {answer.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(answer.substr(9, 3)) : 0, answer};
}

std::string get(const std::string& host, const char* path = "/api/status") {
    return std::string("GET ") + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

TEST(LiveServer, AddressesAreParsedAndServed) {
    struct Case {
        const char* address;
        const char* url;  // what the URL starts with; null: not an address
    };
    const Case cases[] = {
        {"0", "http://127.0.0.1:"},
        {"127.0.0.1:0", "http://127.0.0.1:"},
        {"localhost:0", "http://localhost:"},
        {"[::1]:0", "http://[::1]:"},
        {"", nullptr},
        {"http", nullptr},
        {"127.0.0.1:", nullptr},
        {":0", nullptr},
        {"127.0.0.1:65536", nullptr},
        {"127.0.0.1:-1", nullptr},
        {"::1:0", nullptr},          // IPv6 goes in brackets
        {"[127.0.0.1]:0", nullptr},  // and brackets are for IPv6 only
        {"[::1", nullptr},
        {"a b:0", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Address address;
        ASSERT_EQ(parseAddress(c.address, address), c.url != nullptr);
        if (c.url == nullptr) {
            continue;
        }
        Started started;
        auto server = startServer(Config{address, {}}, started);
        if (server == nullptr && std::string(c.address) == "[::1]:0") {
            continue;  // a machine without IPv6
        }
        ASSERT_NE(server, nullptr) << started.reason;
        EXPECT_FALSE(started.openToNetwork);
        ASSERT_EQ(started.url.rfind(c.url, 0), 0u) << started.url;
        // PORT 0 asks for a free port: the URL names the one bound.
        const std::string port = started.url.substr(std::string(c.url).size());
        EXPECT_GT(std::stoi(port), 0) << started.url;
        EXPECT_EQ(port.back(), '/');
    }
}

TEST(LiveServer, OnlyItsOwnNamesAreAnswered) {
    const Served s = serve("127.0.0.1:0", {"Board.LAN"});
    const std::string port = std::to_string(s.port);
    const std::string other = std::to_string(s.port == 65535 ? 1 : s.port + 1);
    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        {get("127.0.0.1:" + port), 200},
        {get("localhost:" + port), 200},
        {get("LOCALHOST.:" + port, "/"), 200},
        {get("[::1]:" + port), 200},
        {get("board.lan:" + port), 200},
        {get("attacker.example:" + port), 403},
        {get("attacker.example:" + port, "/api/samples"), 403},
        {get("127.0.0.1:" + other), 403},
        {get("127.0.0.1"), 403},  // port 80 is not this one
        {get("127.0.0.1:" + port + "x"), 403},
        {"GET /api/status HTTP/1.1\r\n\r\n", 400},
        {"GET /api/status HTTP/1.0\r\n\r\n", 200},
        {"GET / HTTP/1.1\r\nHost: localhost:" + port + "\r\nHost: a\r\n\r\n", 400},
        {"GET /" + std::string(kMaxHeaderBytes, 'a') + " HTTP/1.1\r\n\r\n", 414},
        {"GET / HTTP/1.1\r\nHost: localhost:" + port +
             "\r\nX: " + std::string(kMaxHeaderBytes - 40, 'a') + "\r\n\r\n",
         431},
        {"GET / HTTP/1.1\r\nHost: localhost:" + port +
             "\r\nX: " + std::string(kMaxHeaderBytes - 100, 'a') + "\r\n\r\n",
         200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        const auto [status, answer] = ask(s.port, c.request);
        EXPECT_EQ(status, c.status) << answer.substr(0, 300);
        EXPECT_NE(answer.find("X-Frame-Options: DENY\r\n"), std::string::npos);
        if (status != 200) {
            EXPECT_EQ(answer.find("samples"), std::string::npos) << answer;
        }
    }
}

TEST(LiveServer, RequestsComingInCannotKeepACompleteOneOut) {
    const Served s = serve("127.0.0.1:0");
    asio::io_context ioc;
    std::vector<tcp::socket> trickling;
    for (std::size_t i = 0; i < kMaxClients + kMaxRequestsInProgress; ++i) {
        trickling.push_back(connect(ioc, s.port));
        asio::write(trickling.back(), asio::buffer(std::string("GET /api/sam")));
    }
    EXPECT_EQ(ask(s.port, get("127.0.0.1:" + std::to_string(s.port))).first, 200);

    // A stream's client that sends anything after its request is closed.
    tcp::socket talker = connect(ioc, s.port);
    asio::write(talker, asio::buffer(get("127.0.0.1:" + std::to_string(s.port), "/api/samples")));
    char buf[4096];
    const std::size_t n = talker.read_some(asio::buffer(buf));
    ASSERT_EQ(std::string(buf, n).rfind("HTTP/1.1 200", 0), 0u);
    asio::write(talker, asio::buffer(std::string("more")));
    const std::string rest = readAll(talker);  // ends: the server closed it
    EXPECT_EQ(rest.find("HTTP/1.1"), std::string::npos);
}

// The numbers in "name":N of the events in text, one for each event that has it.
std::vector<std::uint64_t> numbersOf(const std::string& text, const std::string& name) {
    std::vector<std::uint64_t> found;
    const std::string key = "\"" + name + "\":";
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        found.push_back(std::stoull(text.substr(at + key.size(), 20)));
    }
    return found;
}

TEST(LiveServer, AClientThatCannotTakeEverySampleGetsThemThinnedAndCounted) {
    Served s = serve("127.0.0.1:0");
    asio::io_context ioc;
    tcp::socket reader = connect(ioc, s.port);
    reader.set_option(asio::socket_base::receive_buffer_size(16384));
    asio::write(reader, asio::buffer(get("127.0.0.1:" + std::to_string(s.port), "/api/samples")));
    std::string received;
    std::atomic<bool> begun{false};
    std::thread slow([&] {
        char buf[16384];
        boost::system::error_code ec;
        while (!ec) {
            received.append(buf, reader.read_some(asio::buffer(buf), ec));
            begun = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // about 1.6 MB/s
        }
    });
    // Once the stream has begun, 30 000 samples come in about 1.5 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!begun && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const decode::SampleTap tap = sampleTap(*s.server);
    constexpr std::uint64_t kSamples = 30000;
    logging::AngleAccelRecord record;
    for (std::uint64_t line = 1; line <= kSamples; ++line) {
        record.sample = static_cast<std::uint16_t>(line);
        tap.fn(tap.context, record, line);
        if (line % 200 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    s.server.reset();  // the end: the last sample and a last status go out first
    slow.join();

    const std::size_t history = received.find("event: history");
    EXPECT_EQ(history, std::string::npos);
    const std::string samples = received.substr(0, received.rfind("event: status"));
    const std::vector<std::uint64_t> lines = numbersOf(samples, "line");
    const std::vector<std::uint64_t> missed = numbersOf(received, "view_drops");
    ASSERT_FALSE(lines.empty());
    ASSERT_FALSE(missed.empty());
    EXPECT_EQ(lines.back(), kSamples);
    EXPECT_NE(received.find("\"ended\":true"), std::string::npos);
    // Every sample from the first it got is either sent or counted as missed.
    EXPECT_EQ(lines.size() + missed.back(), kSamples - lines.front() + 1);
    EXPECT_GT(missed.back(), 0u) << "the client took everything: nothing was thinned";
    EXPECT_GT(lines.size(), 100u);
}

}  // namespace
}  // namespace vg::live
