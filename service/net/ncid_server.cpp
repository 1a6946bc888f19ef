#include "net/ncid_server.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>

#include "log.h"
#include "net/ncid_protocol.h"
#include "net/output_queue.h"
#include "platform/clock.h"

#ifndef KALVIX3D_VERSION
#define KALVIX3D_VERSION "0"
#endif

namespace kalvix3d::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// After the 210 line a client may send HELLO: lines; the log is sent when another line comes
// or this long after the banner, whichever is first.
constexpr auto kHelloWindow = 250ms;
// Calls announced while a client is still being sent the log wait for it, up to this many.
constexpr std::size_t kHeldLimit = 1000;
// The log is written in pieces of about this size, so a replay never fills the output queue.
constexpr std::size_t kReplayPiece = 16 * 1024;
using Line = OutputQueue::Line;

Line makeLine(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

const Line &bannerLine() {
    static const Line line = makeLine("200 Server: kalvix3d (NCID) " KALVIX3D_VERSION "\r\n");
    return line;
}
const Line &apiLine() {
    static const Line line = makeLine(std::string(kNcidApiLine) + "\r\n");
    return line;
}

std::string peerOf(const tcp::socket &socket) {
    boost::system::error_code error;
    auto endpoint = socket.remote_endpoint(error);
    if (error)
        return "?";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// A client that closed its end, however abruptly, has left; it was not dropped.
bool gone(const boost::system::error_code &error) {
    return error == asio::error::eof || error == asio::error::connection_reset ||
           error == asio::error::broken_pipe;
}

} // namespace

class NcidServer::Session : public std::enable_shared_from_this<Session> {
public:
    enum class Phase { hello, replay, live, closed };

    Session(NcidServer &server, tcp::socket socket)
        : server(server), socket(std::move(socket)), helloTimer(server.loop.context()),
          peer(peerOf(this->socket)) {}

    void start() {
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        // A fixed kernel buffer: what one client can hold is bounded there too (autotuning
        // would let each of a thousand stuck clients pin megabytes).
        int kernel = std::min(server.config.clientBuffer, 64 * 1024);
        socket.set_option(asio::socket_base::send_buffer_size(kernel), ignored);
        send(bannerLine());
        send(apiLine());
        helloTimer.expires_after(kHelloWindow);
        helloTimer.async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (!error)
                self->endHello();
        });
        read();
    }

    // Queues a line; a client whose queue would pass the bound is dropped.
    void send(const Line &line) {
        if (phase == Phase::closed)
            return;
        // One line longer than the bound still goes to a client that has nothing waiting.
        if (!queue.empty() &&
            queue.bytes() + line->size() > static_cast<std::size_t>(server.config.clientBuffer)) {
            server.drop(shared_from_this(),
                        "it does not read: " + std::to_string(queue.bytes()) + " bytes waiting");
            return;
        }
        queue.push(line);
        if (!queue.writing())
            writeNext();
    }

    // A call or message announced now: sent, or held while the client still gets the log.
    void announce(std::int64_t callId, const Line &line) {
        if (phase == Phase::live) {
            send(line);
        } else if (phase != Phase::closed) {
            if (held.size() >= kHeldLimit) {
                server.drop(shared_from_this(), "too many calls arrived while it read the log");
                return;
            }
            held.emplace_back(callId, line);
        }
    }

    // The log read from the store (oldest first); `failed` when it could not be read.
    void beginLog(std::vector<Call> calls, bool failed) {
        if (phase != Phase::replay)
            return;
        if (failed) {
            send(makeLine("253 No call log\r\n"));
            finishStartup();
        } else if (calls.empty()) {
            send(makeLine("252 Call log empty\r\n"));
            finishStartup();
        } else {
            for (const Call &call : calls)
                replayed.insert(call.id);
            log = std::move(calls);
            logAt = 0;
            send(makeLine("254 Start of call log\r\n"));
            pump();
        }
    }

    void close() {
        phase = Phase::closed;
        boost::system::error_code ignored;
        helloTimer.cancel();
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        queue.clear();
        held.clear();
        log.clear();
    }

    const std::string &who() const { return peer; }
    const std::string &identity() const { return ident; }
    Phase state() const { return phase; }

private:
    void read() {
        socket.async_read_some(
            asio::buffer(input), [self = shared_from_this()](boost::system::error_code error,
                                                             std::size_t size) {
                if (self->phase == Phase::closed)
                    return;
                if (error) {
                    self->server.drop(self, gone(error) ? "" : error.message());
                    return;
                }
                std::vector<std::string> lines;
                self->reader.feed(std::string_view(self->input.data(), size), lines);
                for (const std::string &line : lines) {
                    self->handle(line);
                    if (self->phase == Phase::closed)
                        return;
                }
                self->read();
            });
    }

    void handle(const std::string &text) {
        ClientLine line = parseClientLine(text);
        switch (line.kind) {
        case ClientLineKind::keepAlive:
        case ClientLineKind::helloOther:
        case ClientLineKind::unknown:
            break;
        case ClientLineKind::helloIdent:
            ident = line.argument.substr(0, 80);
            break;
        case ClientLineKind::helloNoLog:
            noLog = true;
            break;
        case ClientLineKind::goodbye:
            server.drop(shared_from_this(), "");
            return;
        case ClientLineKind::requestYo:
            send(makeLine("ACK: REQ YO\r\n"));
            break;
        case ClientLineKind::requestJob:
            send(makeLine("400 Start of data requested\r\n"
                          "INFO: denied: this server is read-only\r\n"
                          "410 End of data\r\n"));
            break;
        case ClientLineKind::gatewayInput:
            if (!gatewayRefused)
                logLine(Priority::info, "ncid: client " + peer + ": " + line.argument +
                                            " lines are ignored: this server is read-only");
            gatewayRefused = true;
            break;
        }
        bool hello = line.kind == ClientLineKind::helloIdent ||
                     line.kind == ClientLineKind::helloNoLog ||
                     line.kind == ClientLineKind::helloOther;
        if (phase == Phase::hello && !hello)
            endHello();
    }

    void endHello() {
        if (phase != Phase::hello)
            return;
        helloTimer.cancel();
        phase = Phase::replay;
        if (noLog || server.config.replay <= 0) {
            send(makeLine("251 Call log not sent\r\n"));
            finishStartup();
        } else {
            server.replayFor(shared_from_this());
        }
    }

    // Moves the next pieces of the log into the queue while the queue is short.
    void pump() {
        std::size_t piece =
            std::min(kReplayPiece, static_cast<std::size_t>(server.config.clientBuffer) / 4);
        while (phase == Phase::replay && logAt < log.size() && queue.bytes() < piece) {
            std::string text;
            while (logAt < log.size() && text.size() < piece)
                text += ncidCallLine(log[logAt++], "CIDLOG:");
            send(makeLine(std::move(text)));
        }
        if (phase == Phase::replay && logAt == log.size()) {
            log.clear();
            log.shrink_to_fit();
            send(makeLine("250 End of call log\r\n"));
            finishStartup();
        }
    }

    void finishStartup() {
        if (phase == Phase::closed)
            return;
        send(makeLine("300 End of connection startup\r\n"));
        phase = Phase::live;
        auto waiting = std::move(held);
        held.clear();
        for (const auto &[callId, line] : waiting)
            if (callId == 0 || !replayed.count(callId))
                send(line);
        replayed.clear();
    }

    void writeNext() {
        if (queue.empty() || phase == Phase::closed)
            return;
        queue.writeFront(socket, [self = shared_from_this()](boost::system::error_code error) {
            if (self->phase == Phase::closed)
                return;
            if (error) {
                self->server.drop(self, gone(error) ? "" : error.message());
                return;
            }
            if (self->phase == Phase::replay && !self->log.empty())
                self->pump(); // may start the next write itself
            if (!self->queue.writing())
                self->writeNext();
        });
    }

    NcidServer &server;
    tcp::socket socket;
    asio::steady_timer helloTimer;
    std::string peer;
    std::string ident;
    Phase phase = Phase::hello;
    bool noLog = false;
    bool gatewayRefused = false;
    NcidLineReader reader{1024};
    std::array<char, 2048> input{};
    OutputQueue queue;
    std::vector<std::pair<std::int64_t, Line>> held;
    std::vector<Call> log;
    std::size_t logAt = 0;
    std::unordered_set<std::int64_t> replayed;
};

// Sends each call as a gateway CALL: line to another NCID server, reconnecting with back-off.
// What the other server sends is read and ignored. At most kLimit lines wait for it.
class NcidServer::Forwarder {
public:
    static constexpr std::size_t kLimit = 1000;

    Forwarder(asio::io_context &io, std::string target)
        : resolver(io), socket(io), timer(io), target(std::move(target)) {
        auto colon = this->target.rfind(':');
        host = this->target.substr(0, colon);
        service = this->target.substr(colon + 1);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }

    void start() { connect(); }
    void stop() {
        stopped = true;
        boost::system::error_code ignored;
        timer.cancel();
        resolver.cancel();
        socket.close(ignored);
    }

    void send(const Call &call) {
        if (waiting.size() >= kLimit) {
            if (!overflowLogged)
                logLine(Priority::warning, "ncid: forward to " + target +
                                               ": it is unreachable and " +
                                               std::to_string(kLimit) +
                                               " calls wait: the oldest are not forwarded");
            overflowLogged = true;
            waiting.pop_front();
        }
        waiting.push_back(ncidGatewayCallLine(call));
        if (connected && !writing)
            writeNext();
    }

private:
    void connect() {
        if (stopped)
            return;
        resolver.async_resolve(host, service, [this](boost::system::error_code error,
                                                     tcp::resolver::results_type results) {
            if (stopped)
                return;
            if (error)
                return retry(error.message());
            asio::async_connect(socket, results,
                                [this](boost::system::error_code error, const tcp::endpoint &) {
                                    if (stopped)
                                        return;
                                    if (error)
                                        return retry(error.message());
                                    connected = true;
                                    overflowLogged = false;
                                    delay = 1s;
                                    logLine(Priority::info, "ncid: forwarding calls to " + target);
                                    read();
                                    if (!writing)
                                        writeNext();
                                });
        });
    }

    void retry(const std::string &why) {
        if (stopped)
            return;
        if (connected || !failureLogged)
            logLine(Priority::warning, "ncid: forward to " + target + ": " + why +
                                           "; trying again in the background");
        failureLogged = true;
        connected = false;
        writing = false;
        boost::system::error_code ignored;
        socket.close(ignored);
        timer.expires_after(delay);
        delay = std::min<std::chrono::seconds>(delay * 2, 60s);
        timer.async_wait([this](boost::system::error_code error) {
            if (!error)
                connect();
        });
    }

    void read() {
        socket.async_read_some(asio::buffer(input), [this](boost::system::error_code error,
                                                           std::size_t) {
            if (stopped)
                return;
            if (error)
                return retry(error == asio::error::eof ? "the server closed the connection"
                                                       : error.message());
            read();
        });
    }

    void writeNext() {
        if (waiting.empty() || !connected)
            return;
        writing = true;
        asio::async_write(socket, asio::buffer(waiting.front()),
                          [this](boost::system::error_code error, std::size_t) {
                              writing = false;
                              if (stopped)
                                  return;
                              if (error)
                                  return retry(error.message());
                              waiting.pop_front();
                              writeNext();
                          });
    }

    tcp::resolver resolver;
    tcp::socket socket;
    asio::steady_timer timer;
    std::string target, host, service;
    std::deque<std::string> waiting;
    std::chrono::seconds delay{1};
    std::array<char, 1024> input{};
    bool connected = false, writing = false, stopped = false;
    bool failureLogged = false, overflowLogged = false;
};

NcidServer::NcidServer(EventLoop &loop, CallStore &store, const NcidConfig &config)
    : loop(loop), store(store), config(config), acceptor(loop.context()) {}

NcidServer::~NcidServer() = default;

std::string NcidServer::endpoint() const { return config.bind + ":" + std::to_string(boundPort); }

void NcidServer::start() {
    listenOn(acceptor, config.bind, config.port);
    boundPort = acceptor.local_endpoint().port();
    logLine(Priority::info, "ncid: listening on " + config.bind + " port " +
                                std::to_string(boundPort) + " (at most " +
                                std::to_string(config.maxClients) + " clients)");
    if (!config.forward.empty()) {
        forwarder = std::make_unique<Forwarder>(loop.context(), config.forward);
        loop.post([this] { forwarder->start(); });
    }
    loop.post([this] { accept(); });
}

void NcidServer::close() {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    if (forwarder)
        forwarder->stop();
    for (const auto &session : sessions)
        session->close();
    sessions.clear();
}

void NcidServer::accept() {
    acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!error) {
            if (sessions.size() >= static_cast<std::size_t>(config.maxClients)) {
                refuse(std::move(socket));
            } else {
                auto session = std::make_shared<Session>(*this, std::move(socket));
                sessions.insert(session);
                session->start();
            }
        } else {
            // Out of descriptors, say: wait a little rather than spin on the same failure.
            logLine(Priority::warning, "ncid: cannot accept a client: " + error.message());
            auto timer = std::make_shared<asio::steady_timer>(loop.context(), 100ms);
            timer->async_wait([this, timer](boost::system::error_code) { accept(); });
            return;
        }
        accept();
    });
}

void NcidServer::refuse(tcp::socket socket) {
    static const std::string text =
        "MSG: Too many clients connected: try again later***NAME*-*NMBR*-*LINE*-*MTYPE*-*\r\n";
    boost::system::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(text), ignored);
    socket.close(ignored);
    ++refused;
    auto now = std::chrono::steady_clock::now();
    if (now - lastRefusalLogged > 10s) {
        lastRefusalLogged = now;
        logLine(Priority::warning, "ncid: " + std::to_string(config.maxClients) +
                                       " clients connected; refused " + std::to_string(refused) +
                                       " more so far");
    }
}

void NcidServer::drop(const std::shared_ptr<Session> &session, const std::string &why) {
    if (session->state() == Session::Phase::closed)
        return;
    session->close();
    sessions.erase(session);
    std::string who = "ncid: client " + session->who() +
                      (session->identity().empty() ? "" : " (" + session->identity() + ")");
    if (why.empty())
        logLine(Priority::debug, who + " left");
    else
        logLine(Priority::warning, who + " dropped: " + why);
}

void NcidServer::replayFor(const std::shared_ptr<Session> &session) {
    int limit = config.replay;
    asio::post(loop.worker(), [this, session, limit] {
        std::vector<Call> calls;
        bool failed = false;
        try {
            CallQuery query;
            query.limit = limit;
            calls = store.calls(query);
            std::reverse(calls.begin(), calls.end()); // oldest first, as a log reads
        } catch (const std::exception &error) {
            logLine(Priority::warning, std::string("ncid: the call log cannot be read: ") +
                                           error.what());
            failed = true;
        }
        loop.post([session, calls = std::move(calls), failed]() mutable {
            session->beginLog(std::move(calls), failed);
        });
    });
}

void NcidServer::callAnnounced(const Call &call) {
    loop.post([this, call] { broadcastCall(call); });
}

void NcidServer::lineStateChanged(const LineStatus &status) {
    std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    int offset = platform::utcOffsetMinutes(static_cast<std::time_t>(now));
    Line line = makeLine(ncidLineStateMessage(status, now, offset));
    loop.post([this, line] { broadcastLine(line); });
}

void NcidServer::broadcastCall(const Call &call) {
    Line line = makeLine(ncidCallLine(call));
    // A session dropped on the way leaves the set: walk a copy.
    std::vector<std::shared_ptr<Session>> all(sessions.begin(), sessions.end());
    for (const auto &session : all)
        session->announce(call.id, line);
    if (forwarder)
        forwarder->send(call);
}

void NcidServer::broadcastLine(std::shared_ptr<const std::string> line) {
    std::vector<std::shared_ptr<Session>> all(sessions.begin(), sessions.end());
    for (const auto &session : all)
        session->announce(0, line);
}

} // namespace kalvix3d::net
