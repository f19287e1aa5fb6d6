// A DNS relay that adds latency: takes queries on 127.0.0.1:LISTEN, sends each on to
// 127.0.0.1:UPSTREAM DELAY_MS later and hands the answers back. With MAX_IN_FLIGHT, it drops
// without a word every query that comes while that many are in flight (taken and neither
// answered nor 2 s old), as a small resolver does. On SIGTERM or SIGINT it writes the number
// of queries it took to COUNT_FILE (with MAX_IN_FLIGHT, and after a blank the number it
// dropped), and ends.
//   hostmoor_dnsrelay LISTEN UPSTREAM DELAY_MS COUNT_FILE [MAX_IN_FLIGHT]
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
    gStop = 1;
}

sockaddr_in Local(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct Pending {
    Clock::time_point Due;
    std::vector<char> Packet;
};

struct Client {
    sockaddr_in Address;
    std::uint16_t Id;
    Clock::time_point Taken;
};

// A query stops counting as in flight this long after it was taken, answered or not.
constexpr auto kForgetAfter = std::chrono::seconds(2);
// Packets taken from a socket in one turn, at most; and the room for those waiting.
constexpr int kBatch = 256;
constexpr int kBufferBytes = 8 << 20;

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s LISTEN UPSTREAM DELAY_MS COUNT_FILE [MAX_IN_FLIGHT]\n",
                     argv[0]);
        return 2;
    }
    const std::size_t most = argc == 6 ? static_cast<std::size_t>(std::atol(argv[5])) : 0;
    const sockaddr_in listen = Local(std::atoi(argv[1]));
    const sockaddr_in upstream = Local(std::atoi(argv[2]));
    const auto delay = std::chrono::milliseconds(std::atoi(argv[3]));
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);

    const int front = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int back = ::socket(AF_INET, SOCK_DGRAM, 0);
    for (const int socket : {front, back}) {
        // Beyond the system's limit where it may (as root); the limit otherwise.
        if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &kBufferBytes, sizeof kBufferBytes) !=
            0)
            ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
    }
    if (::bind(front, reinterpret_cast<const sockaddr*>(&listen), sizeof listen) != 0) {
        std::perror("bind");
        return 1;
    }
    std::deque<Pending> queue; // due times rise, since the delay is fixed
    std::unordered_map<std::uint16_t, Client> clients;
    std::uint16_t nextId = 1;
    long queries = 0;
    long dropped = 0;
    std::vector<char> buffer(65536);
    while (!gStop) {
        int timeout = -1;
        if (!queue.empty())
            timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           queue.front().Due - Clock::now())
                                           .count());
        pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};
        ::poll(fds, 2, timeout < 0 && !queue.empty() ? 0 : timeout);
        // Everything waiting is taken at once: the relay adds latency, and loses nothing but
        // what MAX_IN_FLIGHT asks it to drop.
        for (int taken = 0; (fds[0].revents & POLLIN) && taken < kBatch; ++taken) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(front, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0)
                break;
            if (most > 0 && clients.size() >= most) {
                const auto now = Clock::now();
                std::erase_if(clients,
                              [now](const auto& c) { return now - c.second.Taken > kForgetAfter; });
            }
            if (n >= 12 && most > 0 && clients.size() >= most) {
                ++queries;
                ++dropped;
            } else if (n >= 12) {
                ++queries;
                std::uint16_t id;
                std::memcpy(&id, buffer.data(), 2);
                const std::uint16_t mine = nextId++;
                clients[mine] = {from, id, Clock::now()};
                std::vector<char> packet(buffer.begin(), buffer.begin() + n);
                std::memcpy(packet.data(), &mine, 2);
                queue.push_back({Clock::now() + delay, std::move(packet)});
            }
        }
        for (int taken = 0; (fds[1].revents & POLLIN) && taken < kBatch; ++taken) {
            const ssize_t n = ::recv(back, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0)
                break;
            if (n >= 12) {
                std::uint16_t mine;
                std::memcpy(&mine, buffer.data(), 2);
                auto it = clients.find(mine);
                if (it != clients.end()) {
                    std::memcpy(buffer.data(), &it->second.Id, 2);
                    ::sendto(front, buffer.data(), static_cast<std::size_t>(n), 0,
                             reinterpret_cast<const sockaddr*>(&it->second.Address),
                             sizeof it->second.Address);
                    clients.erase(it);
                }
            }
        }
        while (!queue.empty() && queue.front().Due <= Clock::now()) {
            ::sendto(back, queue.front().Packet.data(), queue.front().Packet.size(), 0,
                     reinterpret_cast<const sockaddr*>(&upstream), sizeof upstream);
            queue.pop_front();
        }
    }
    if (FILE* count = std::fopen(argv[4], "w")) {
        if (most > 0)
            std::fprintf(count, "%ld %ld\n", queries, dropped);
        else
            std::fprintf(count, "%ld\n", queries);
        std::fclose(count);
    }
    return 0;
}
