// The NCID server: stock Network Caller ID clients connect over TCP and get the banner, the call
// log replay and then one CID: line per call, MSG: lines when a line goes down or comes back.
// Read-only: client jobs and gateway input are refused. Optionally each call is also sent as a
// gateway CALL: line to another NCID server.
//
// Threads: the Observer entry points may be called from any thread; they copy the event and
// post it onto the event loop, where everything else runs. Every client has a bounded output
// queue: a client that does not read is dropped, never waited for.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "outputs/output.h"
#include "config/config.h"
#include "net/event_loop.h"
#include "store/call_store.h"

namespace kalvix3d::net {

class NcidServer : public Output {
public:
    NcidServer(EventLoop &loop, CallStore &store, const NcidConfig &config);
    ~NcidServer() override;
    NcidServer(const NcidServer &) = delete;
    NcidServer &operator=(const NcidServer &) = delete;

    // Binds and listens (on the calling thread, before the loop serves it). Throws
    // std::runtime_error saying why when the address cannot be used.
    void start() override;
    // Closes the listener and every client; on the loop, before it is stopped.
    void close();
    void stopOnLoop() override { close(); }
    std::string endpoint() const override;
    std::uint16_t port() const { return boundPort; }

    void callAnnounced(const Call &call) override;
    void lineStateChanged(const LineStatus &status) override;

    class Session;
    class Forwarder;

private:
    void accept();
    void refuse(boost::asio::ip::tcp::socket socket);
    void broadcastCall(const Call &call);
    void broadcastLine(std::shared_ptr<const std::string> line);
    friend class Session;
    void drop(const std::shared_ptr<Session> &session, const std::string &why);
    void replayFor(const std::shared_ptr<Session> &session);

    EventLoop &loop;
    CallStore &store;
    NcidConfig config;
    boost::asio::ip::tcp::acceptor acceptor;
    std::uint16_t boundPort = 0;
    std::set<std::shared_ptr<Session>> sessions;
    std::unique_ptr<Forwarder> forwarder;
    std::uint64_t refused = 0;
    std::chrono::steady_clock::time_point lastRefusalLogged{};
};

} // namespace kalvix3d::net
