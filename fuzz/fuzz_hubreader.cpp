// Fuzzes the hub reader (SVComSrvClass::ReadInputFile) against a hub that answers every
// request with whatever bytes the fuzzer chose.
//
// A plain POSIX server on its own thread listens on a Unix socket in a private temporary
// folder (the reader's local endpoint name is that path). For every request line it
// receives it writes the current input's bytes.
//
// Input: the first byte's lowest bit says whether the hub keeps the connection open after a
// complete, well-formed answer (otherwise it closes it after writing, so an answer that is
// cut short fails at once instead of running into the time-out); the rest is what the hub
// sends. Each input makes two requests, so kept connections are reused and connections
// with stray bytes after the answer are dropped and opened again.
// Check: each request returns exactly the answer's body (decoded as UTF-8) when the bytes
// start with a complete, well-formed answer, and "" otherwise.

#include "FuzzSupport.h"
#include "hub/HubReader.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Hub {
public:
    // Starts listening; the endpoint is a socket file in a fresh temporary folder.
    Hub() {
        char folder[] = "/tmp/svc-fuzz-hub-XXXXXX";
        FUZZ_CHECK(::mkdtemp(folder) != nullptr);
        folder_ = folder;
        path_ = folder_ + "/hub";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(listener_ >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        FUZZ_CHECK(path_.size() < sizeof address.sun_path);
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        FUZZ_CHECK(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        FUZZ_CHECK(::listen(listener_, 16) == 0);
        std::thread([this] { Serve(); }).detach();
    }

    QString Endpoint() const { return QString::fromStdString(path_); }

    // What the hub sends for each request from now on.
    void Answer(QByteArrayView bytes, bool keepOpen) {
        const std::lock_guard lock(mutex_);
        reply_.assign(bytes.data(), size_t(bytes.size()));
        keepOpen_ = keepOpen;
    }

    void RemoveFiles() const {
        ::unlink(path_.c_str());
        ::rmdir(folder_.c_str());
    }

private:
    struct Client {
        int fd;
        std::string pending; // received bytes not yet ending in LF
    };

    void Serve() {
        std::vector<Client> clients;
        for (;;) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const Client& c : clients)
                fds.push_back({c.fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0)
                continue;
            for (size_t i = fds.size(); i-- > 1;) {
                if (fds[i].revents == 0)
                    continue;
                Client& client = clients[i - 1];
                if (!Read(client)) {
                    ::close(client.fd);
                    clients.erase(clients.begin() + std::ptrdiff_t(i - 1));
                }
            }
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                    clients.push_back({fd, {}});
            }
        }
    }

    // Reads what a client sent and answers each complete line. False when the connection
    // is to be closed.
    bool Read(Client& client) {
        char buffer[4096];
        const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return n < 0 && errno == EINTR;
        client.pending.append(buffer, size_t(n));
        size_t lf;
        while ((lf = client.pending.find('\n')) != std::string::npos) {
            client.pending.erase(0, lf + 1);
            std::string reply;
            bool keepOpen;
            {
                const std::lock_guard lock(mutex_);
                reply = reply_;
                keepOpen = keepOpen_;
            }
            if (!SendAll(client.fd, reply) || !keepOpen)
                return false;
        }
        return true;
    }

    static bool SendAll(int fd, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += size_t(n);
        }
        return true;
    }

    std::string folder_;
    std::string path_;
    int listener_ = -1;
    std::mutex mutex_;
    std::string reply_;
    bool keepOpen_ = false;
};

Hub* hub = nullptr;
SVComSrvClass* reader = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    hub = new Hub;
    std::atexit([] { hub->RemoveFiles(); });
    reader = new SVComSrvClass(hub->Endpoint());
    reader->SetSilent(true);
    // Every answer here arrives at once or the hub closes; a request that needs the time-out
    // is a finding, and this keeps it from stalling the run for long.
    reader->SetTimeoutMs(2000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const fuzz::PlainAnswer plain = fuzz::ReadAnswerPlainly(stream, 0);
    const bool complete = plain.status == hubwire::AnswerDecoder::Status::Done;
    // Only a complete answer may leave the connection open: anything else would wait for
    // bytes that never come.
    hub->Answer(stream, complete && (data[0] & 1) != 0);

    const QString expected =
        complete ? QString::fromUtf8(stream.sliced(plain.headerBytes, qsizetype(plain.length)))
                 : QString();
    for (const char* request : {"HUB:GETVALUES", "HUB:GETTAGS"}) {
        const QString answer = reader->ReadInputFile(QLatin1String(request));
        FUZZ_CHECK(answer == expected);
    }
    return 0;
}
