// The list of outputs and their one life: started in the order of kOutputs, stopped in the same
// order after the lines (the event loop's part first, then what needs no loop).
#include "outputs/output.h"

#include <stdexcept>

#include "log.h"
#include "net/mqtt_publisher.h"
#include "net/ncid_server.h"
#include "outputs/log_output.h"
#include "outputs/status_stream.h"
#include "web/web_server.h"

namespace kalvix3d {

namespace {

struct OutputKind {
    const char *name; // the log's word for it
    bool (*wanted)(const Config &);
    std::unique_ptr<Output> (*make)(const OutputContext &);
    const char *whenOff; // what it means when it cannot start
};

template <class T> std::unique_ptr<Output> make(const OutputContext &context) {
    return std::make_unique<T>(context);
}
bool always(const Config &) { return true; }

const OutputKind kOutputs[] = {
    {"log", always, make<LogOutput>, ""},
    {"status", always, make<ManagerStatusOutput>, ""},
    {"status-fd", [](const Config &) { return status::isOpen(); }, make<status::StatusOutput>, ""},
    {"ncid", [](const Config &c) { return c.ncid.enabled; },
     [](const OutputContext &c) -> std::unique_ptr<Output> {
         return std::make_unique<net::NcidServer>(c.loop, c.store, c.config.ncid);
     },
     "the NCID server is off"},
    {"mqtt", [](const Config &c) { return c.mqtt.enabled; },
     [](const OutputContext &c) -> std::unique_ptr<Output> {
         return std::make_unique<net::MqttPublisher>(c.loop, c.store, c.config);
     },
     "nothing is published"},
    {"web", [](const Config &c) { return c.web.enabled; }, make<web::WebServer>, "the web page is off"},
};

} // namespace

Outputs::Outputs(const OutputContext &context, Announcer &announcer)
    : context(context), announcer(announcer) {
    for (const OutputKind &kind : kOutputs) {
        if (!kind.wanted(context.config))
            continue;
        std::unique_ptr<Output> output = kind.make(context);
        try {
            output->start();
        } catch (const std::exception &error) {
            logLine(Priority::error,
                    std::string(kind.name) + ": " + error.what() + "; " + kind.whenOff);
            continue;
        }
        if (std::string at = output->endpoint(); !at.empty())
            status::report({{"event", "listening"}, {"output", kind.name}, {"address", at}});
        announcer.subscribe(output.get());
        running.push_back(std::move(output));
    }
}

Outputs::~Outputs() { stop(); }

void Outputs::attachLines(LineControl *lines) {
    for (const auto &output : running)
        output->attachLines(lines);
}

void Outputs::stop() {
    for (const auto &output : running)
        announcer.unsubscribe(output.get());
    context.loop.post([this] {
        for (const auto &output : running)
            output->stopOnLoop();
    });
    context.loop.stop();
    for (const auto &output : running)
        output->stopAfterLoop();
    running.clear();
}

} // namespace kalvix3d
