// A TCP proxy on loopback that holds every byte for a fixed one-way delay in each direction,
// standing in for a distant server (this kernel has no netem).
//
//   quillon-delay-proxy LISTEN_PORT TARGET_PORT ONE_WAY_DELAY_MS [CUT_AFTER_BYTES]
// Prints "READY" once it listens and "CONNECTION" for each connection it accepts; runs until killed.
// Round trip = 2 x the one-way delay. With CUT_AFTER_BYTES, once that many bytes have gone from the
// server to the clients, every open connection is cut at once (a lost link); later ones are left alone.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long cutAfter = -1;
std::atomic<long long> sentToClients{0};
std::atomic<bool> cutDone{false};
std::mutex liveMutex;
std::vector<int> liveSockets; // both sockets of every open connection

// Counts bytes on their way to a client; the one that crosses the limit cuts every open connection.
void countTowardsCut(ssize_t bytes) {
    if (cutAfter < 0 || cutDone || (sentToClients += bytes) < cutAfter || cutDone.exchange(true))
        return;
    std::lock_guard<std::mutex> lock(liveMutex);
    for (const int socket : liveSockets)
        shutdown(socket, SHUT_RDWR);
}

struct Chunk {
    Clock::time_point due;
    std::vector<char> bytes; // empty: the sender closed
};

// Moves bytes from one socket to another, each chunk sent no earlier than its arrival plus the delay.
void pump(int from, int to, std::chrono::microseconds delay, bool towardsClient) {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Chunk> queue;
    std::thread writer([&] {
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [&] { return !queue.empty(); });
                chunk = std::move(queue.front());
                queue.pop_front();
            }
            std::this_thread::sleep_until(chunk.due);
            if (chunk.bytes.empty())
                break;
            size_t sent = 0;
            while (sent < chunk.bytes.size()) {
                const ssize_t n =
                    send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                sent += size_t(n);
            }
        }
        shutdown(to, SHUT_WR);
    });
    for (;;) {
        std::vector<char> buffer(256 * 1024);
        const ssize_t n = recv(from, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? size_t(n) : 0);
        if (towardsClient && n > 0)
            countTowardsCut(n);
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back({Clock::now() + delay, std::move(buffer)});
        }
        ready.notify_one();
        if (n <= 0)
            break;
    }
    writer.join();
}

void serve(int client, int targetPort, std::chrono::microseconds delay) {
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(targetPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(client);
        close(server);
        return;
    }
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        liveSockets.push_back(client);
        liveSockets.push_back(server);
    }
    std::thread up([=] { pump(client, server, delay, false); });
    pump(server, client, delay, true);
    up.join();
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        for (const int socket : {client, server})
            liveSockets.erase(std::find(liveSockets.begin(), liveSockets.end(), socket));
    }
    close(client);
    close(server);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT ONE_WAY_DELAY_MS [CUT_AFTER_BYTES]\n",
                     argv[0]);
        return 64;
    }
    const int listenPort = std::atoi(argv[1]);
    const int targetPort = std::atoi(argv[2]);
    const auto delay = std::chrono::microseconds(long(std::atof(argv[3]) * 1000));
    if (argc == 5)
        cutAfter = std::atoll(argv[4]);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(listenPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    for (;;) {
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        std::printf("CONNECTION\n");
        std::fflush(stdout);
        std::thread(serve, client, targetPort, delay).detach();
    }
}
