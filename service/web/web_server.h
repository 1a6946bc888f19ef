// The web page and its JSON API: HTTP (Boost.Beast) on the service's event loop, the live event
// stream as server-sent events, the page's files embedded in the program. Every data endpoint
// needs a session (login with the password, or the display token for a read-only wall screen);
// every request that changes something needs the session's CSRF token. Requests are bounded in
// header size, body size and the time to send them.
//
// This is the listener. Each connection is an HttpSession (http_session.h); its requests go
// through the route table (routes.h) to the handlers (api.h); open pages hold an event stream
// (event_stream.h).
//
// Threads: the Observer entry points may be called from any thread; they copy the event and post
// it onto the loop. Store reads and writes run on the loop's worker; dials and history reads on
// the supervisor's thread (through the attached LineControl); both post their results back.
// Nothing on the loop blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "outputs/output.h"
#include "config/config.h"
#include "net/event_loop.h"
#include "store/call_store.h"
#include "web/auth.h"

namespace kalvix3d::web {

struct ServerState;

class WebServer : public Output {
public:
    static constexpr std::size_t kHeaderLimit = 8 * 1024;
    static constexpr std::size_t kBodyLimit = 1024 * 1024;
    static constexpr std::size_t kEventBuffer = 256 * 1024; // queued for one page, then dropped
    static constexpr int kMaxDials = 4;                     // dials waiting or under way

    explicit WebServer(const OutputContext &context);
    ~WebServer() override;
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Binds and listens. Throws std::runtime_error saying why.
    void start() override;
    // Closes the listener and every connection; on the loop.
    void close();
    void stopOnLoop() override { close(); }
    std::uint16_t port() const { return boundPort; }
    std::string endpoint() const override { return url; }

    // Set once the lines exist and cleared (nullptr) before they go; from any thread.
    void attachLines(LineControl *control) override;

    void callAnnounced(const Call &call) override;
    void lineStateChanged(const LineStatus &status) override;

private:
    void accept();
    void keepAlive();

    std::unique_ptr<ServerState> state; // what the connections and the handlers share
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer keepAliveTimer;
    std::uint16_t boundPort = 0;
    std::string url; // "http://127.0.0.1:8380/" once listening
};

} // namespace kalvix3d::web
