#include "receiver_rig.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "kalvix3_sim/serial_device.h"
#include "main/kinds.h"
#include "recv/init_sequences.h"

namespace kalvix3::testing {

ReceiverRig::ReceiverRig(ScriptedPorts &ports, const std::string &portName, int32_t kind)
    : deviceKind(kind), scripted(ports.device(portName)) {
    port = platform::openSerialPort(portName.c_str()).port;
    if (!port)
        return;
    port->setMask(kReceiveEvents);
    thread = std::make_unique<TRecvThread>(
        *port, SerialReceiveSettings{window.window(), frameRulesOf(kind), initSequenceFor(kind)});
    thread->resume();
}

ReceiverRig::~ReceiverRig() {
    if (port) {
        port->setMask(0);
        port->purge(platform::PURGE_ALL);
    }
    thread.reset();
    port.reset();
}

bool ReceiverRig::waitUntilListening(std::chrono::milliseconds limit) {
    const InitSequence *sequence = initSequenceFor(deviceKind);
    size_t commands = sequence ? static_cast<size_t>(sequence->commandCount) : 0;
    return thread && scripted->waitUntil(
                         [&] {
                             return scripted->writes().size() >= commands &&
                                    scripted->currentMask() == kReceiveEvents &&
                                    scripted->waitPending();
                         },
                         limit);
}

bool ReceiverRig::send(const std::string &bytes, std::chrono::milliseconds limit) {
    scripted->inject(bytes); // completes the pending wait: the thread listens again once done
    return scripted->waitUntil(
        [&] {
            return scripted->currentMask() == kReceiveEvents && scripted->waitPending();
        },
        limit);
}

bool ReceiverRig::sendFrame(const std::string &bytes, std::chrono::milliseconds limit) {
    size_t masksBefore = scripted->masks().size();
    scripted->inject(bytes);
    return scripted->waitUntil(
        [&] {
            std::vector<uint32_t> masks = scripted->masks();
            bool framed = std::find(masks.begin() + static_cast<std::ptrdiff_t>(masksBefore),
                                    masks.end(), 0u) != masks.end();
            return framed && scripted->currentMask() == kReceiveEvents &&
                   scripted->waitPending();
        },
        limit);
}

std::string reportOf(int32_t kind, const std::string &number) {
    std::optional<sim::Family> family = sim::familyOfKind(kind);
    if (!family)
        return {};
    std::string report = sim::callerReport(*family, sim::Call::withNumber(number));
    return *family == sim::Family::NumberDisplay ? report + report : report;
}

std::string freshNumber() {
    static std::atomic<unsigned> next{1};
    char text[16];
    std::snprintf(text, sizeof text, "03%08u", next.fetch_add(1) % 100000000u);
    return text;
}

} // namespace kalvix3::testing
