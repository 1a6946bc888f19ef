// kalvix3 demo: with no hardware at all, starts simulated devices (a number-display adapter and
// a terminal adapter on pseudo-terminals, and the stand-in USB driver library), opens lines
// through the library exactly as a host would, places calls of every kind, reads histories,
// dials, closes everything and prints what the host saw. Exit status 0 only when everything the
// demo expected arrived.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "host_line.h"
#include "kalvix3.h"
#include "platform.h"
#include "sim_paths.h"
#include "text.h"

#ifdef KALVIX3_HAVE_SERIAL_SIM
#include "kalvix3_sim/serial_device.h"
#endif

namespace tool {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A host window that prints what arrives and lets the demo wait for it.
class DemoWindow {
public:
    explicit DemoWindow(int32_t slot)
        : slot(slot), host([this](uint32_t message, const CopyDataRecord &record) {
              receive(message, record);
          }) {}
    Kalvix3Window window() const { return host.window(); }
    bool waitFor(size_t count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> hold(lock);
        return arrived.wait_for(hold, limit, [&] { return texts.size() >= count; });
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> hold(lock);
        return texts;
    }

private:
    void receive(uint32_t message, const CopyDataRecord &record) {
        std::string text(static_cast<const char *>(record.lpData), record.cbData);
        std::string line = "  line " + std::to_string(slot);
        if (message == KALVIX3_CALLER_NUMBER_MESSAGE) {
            std::string reason = reasonInWords(text);
            line += "  call   " + (reason.empty() ? text : text + "  (" + reason + ")");
        } else if (message == KALVIX3_LINE_ERROR_MESSAGE) {
            line += "  error  " + std::to_string(record.dwData) + "  " + utf8FromCp932(text);
            text = "error " + std::to_string(record.dwData);
        } else {
            return;
        }
        printLine(line);
        {
            std::lock_guard<std::mutex> hold(lock);
            texts.push_back(text);
        }
        arrived.notify_all();
    }

    int32_t slot;
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::string> texts;
    platform::HostWindow host; // last: goes first, before what its handler uses
};

struct Tally {
    int expected = 0;
    int seen = 0;
    std::vector<std::string> missing;
    void check(bool ok, const std::string &what) {
        ++expected;
        if (ok)
            ++seen;
        else
            missing.push_back(what);
    }
};

class TempDir {
public:
    explicit TempDir(const char *stem) : path(platform::makeTempDirectory(stem)) {}
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty())
            fs::remove_all(path, ignored);
    }
    std::string path;
};

void heading(const std::string &text) { printLine("\n== " + text); }

void printRecords(const std::vector<HistoryRecord> &records, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const HistoryRecord &r = records[static_cast<size_t>(i)];
        std::string number(r.number, strnlen(r.number, sizeof r.number));
        std::string reason = reasonInWords(number);
        printLine("  " + std::string(r.date, 8) + " " + std::string(r.time, 6) + "  " + number +
                  (reason.empty() ? "" : "  (" + reason + ")"));
    }
}

bool expectHistory(int32_t slot, int32_t ask, int32_t want, Tally &tally, const std::string &what) {
    std::vector<HistoryRecord> records(static_cast<size_t>(ask));
    int32_t count = ask;
    int32_t result = GetHistoryEx(slot, &count, records.data());
    printLine("  GetHistoryEx -> " + std::to_string(result) + ", " + std::to_string(count) +
              " record(s)");
    if (result == 0)
        printRecords(records, count);
    tally.check(result == 0 && count == want, what);
    return result == 0;
}

#ifdef KALVIX3_HAVE_SERIAL_SIM
void serialPart(Tally &tally) {
    using namespace kalvix3::sim;
    TempDir comFolder("kalvix3-demo-com");
    if (comFolder.path.empty()) {
        tally.check(false, "a temporary folder for the serial ports");
        return;
    }
    const std::string &comDir = comFolder.path;
    platform::setEnvironment("KALVIX3_COM_DIR", comDir);
    auto adapter = SerialDevice::start(2);  // NTT number-display adapter 30
    auto terminal = SerialDevice::start(15); // ALEXON ALEX-TD503α
    fs::create_symlink(adapter->slavePath(), fs::path(comDir) / "COM3");
    fs::create_symlink(terminal->slavePath(), fs::path(comDir) / "COM4");
    adapter->setHistory({{"1208", "0912", "0312345678"}, {"1208", "1030", "P"},
                         {"1207", "1815", "0667778888"}});

    heading("Serial lines: slot 0 = NTT number-display adapter 30 on COM3, slot 1 = ALEXON on COM4");
    DemoWindow line0(0), line1(1);
    int32_t first = OpenCommLineEx(0, line0.window(), 3, 2);
    int32_t second = OpenCommLineEx(1, line1.window(), 4, 15);
    printLine("  OpenCommLineEx(0, ..., 3, 2) -> " + std::to_string(first));
    printLine("  OpenCommLineEx(1, ..., 4, 15) -> " + std::to_string(second));
    tally.check(first == 0 && second == 0, "both serial lines open");
    bool initialised = terminal->waitForReceived("ATG55=0\r\n", 3s);
    printLine(std::string("  the ALEXON was switched to caller-ID reporting: ") +
              (initialised ? "ATG41=0, ATG42=0, ATG55=0" : "no"));
    tally.check(initialised, "ALEXON initialisation commands");

    heading("Incoming calls");
    const Call calls[] = {Call::withNumber("0312345678"), Call::of(CallerKind::Withheld),
                          Call::of(CallerKind::OutOfArea), Call::of(CallerKind::PublicPhone)};
    const char *expected[] = {"0312345678", "P", "O", "C"};
    for (size_t i = 0; i < 4; ++i) {
        adapter->placeCall(calls[i]);
        bool ok = line0.waitFor(i + 1, 3s) && line0.received()[i] == expected[i];
        adapter->waitUntilSent(3s); // the adapter has taken the acknowledgement
        tally.check(ok, std::string("call ") + expected[i] + " on line 0");
    }
    terminal->placeCall(Call::withNumber("0667778888"));
    bool ok = line1.waitFor(1, 3s) && line1.received()[0] == "0667778888";
    tally.check(ok, "call 0667778888 on line 1");
    terminal->placeCall(Call::of(CallerKind::NoNumber));
    ok = line1.waitFor(2, 3s) && line1.received()[1] == "$";
    tally.check(ok, "ring without number on line 1");

    heading("Call history of the number-display adapter (slot 0)");
    expectHistory(0, 30, 3, tally, "serial history of 3 records");

    heading("Dial 03-1234-5678 on telephone port 1 through the ALEXON (slot 1)");
    KalvixDialEx(1, 1, "03-1234-5678");
    bool dialled = terminal->waitForReceived("AT\\D1/0312345678\r\n", 2s);
    printLine(std::string("  the adapter received: ") + (dialled ? "AT\\D1/0312345678" : "nothing"));
    tally.check(dialled, "ALEXON dial command");

    heading("The terminal adapter is unplugged");
    terminal->vanish();
    bool reported = line1.waitFor(3, 3s);
    tally.check(reported, "line error after the adapter vanished");

    CloseCommLineEx(0);
    CloseCommLineEx(1);
    printLine("  both lines closed");
}
#endif

// ---- USB: the stand-in ITUSB.DLL ------------------------------------------------------------

template <typename F> F entryOf(const platform::LoadedLibrary &library, const char *name) {
    return reinterpret_cast<F>(library.entry(name));
}

void usbPart(const std::string &standInFile, Tally &tally) {
    platform::StandInDriver driver(standInFile);
    if (driver.path().empty()) {
        tally.check(false, "the stand-in ITUSB.DLL in place: " + driver.problem());
        return;
    }
    // The same file as the library loads, so both use one simulated adapter.
    platform::LoadedLibrary sim(driver.path());
    if (!sim.loaded()) {
        tally.check(false, "load the stand-in ITUSB.DLL");
        return;
    }
    auto reset = entryOf<void (*)()>(sim, "SimUsb_Reset");
    auto placeCall = entryOf<int32_t (*)(const char *)>(sim, "SimUsb_PlaceCall");
    auto addHistory = entryOf<int32_t (*)(const char *, const char *)>(sim, "SimUsb_AddHistoryEntry");
    auto setDialStates = entryOf<void (*)(const uint8_t *, int32_t)>(sim, "SimUsb_SetDialStates");
    auto setRinging = entryOf<void (*)(int32_t)>(sim, "SimUsb_SetLineStateOnes");
    auto callCount = entryOf<int32_t (*)(int32_t, uint32_t)>(sim, "SimUsb_CallCount");
    if (!reset || !placeCall || !addHistory || !setDialStates || !setRinging || !callCount) {
        tally.check(false, "the stand-in's control entries");
        return;
    }
    platform::DialFormReporter dialForm;

    struct UsbKind {
        int32_t kind;
        const char *name;
    };
    for (UsbKind usb : {UsbKind{32, "NEC Aterm IT60(L)/D (USB)"},
                        UsbKind{36, "NEC Aterm ITX70/D, ITX80/D (USB)"}}) {
        reset();
        addHistory("0311112222", "20261207101500");
        addHistory("P", "20261207113000");
        addHistory("0455556666", "20261208080000");
        heading(std::string("USB line: slot 0 = ") + usb.name + ", kind " + std::to_string(usb.kind));
        DemoWindow line(0);
        int32_t result = OpenCommLineEx(0, line.window(), 0, usb.kind);
        printLine("  OpenCommLineEx(0, ..., 0, " + std::to_string(usb.kind) + ") -> " +
                  std::to_string(result));
        tally.check(result == 0, "open USB kind " + std::to_string(usb.kind));
        if (result != 0)
            continue;
        // A call placed after the polled adapter has taken its baseline (its first status
        // read), or after the multiplexed one has asked for events, is new.
        auto ready = [&] {
            return usb.kind == 32 ? callCount(1, 17) >= 1 : callCount(3, 0) >= 1;
        };
        for (int i = 0; i < 300 && !ready(); ++i)
            std::this_thread::sleep_for(10ms);
        placeCall("0398765432");
        bool called = line.waitFor(1, 4s) && line.received()[0] == "0398765432";
        tally.check(called, "USB call on kind " + std::to_string(usb.kind));
        placeCall("C");
        called = line.waitFor(2, 4s) && line.received()[1] == "C";
        tally.check(called, "USB public-phone call on kind " + std::to_string(usb.kind));

        printLine("  call history (newest first):");
        expectHistory(0, 50, 3, tally, "USB history of kind " + std::to_string(usb.kind));

        printLine("  dial 0312345678 on telephone port 1:");
        const uint8_t states[] = {2, 1};
        setDialStates(states, 2);
        setRinging(3);
        KalvixDialEx(0, 1, "0312345678");
        bool cleared = _DialForm == nullptr;
        int32_t dials = callCount(usb.kind == 32 ? 1 : 5, usb.kind == 32 ? 0x80000015u : 0u);
        printLine("  dial requests the adapter received: " + std::to_string(dials));
        tally.check(dials == 1 && cleared, "USB dial on kind " + std::to_string(usb.kind));
        CloseCommLineEx(0);
        printLine("  line closed");
    }
}

int runDemo(const std::string &standInFolder) {
    auto start = std::chrono::steady_clock::now();
    int32_t version = 0;
    GetKalvix3Version(&version);
    printLine("Kalvix3 demo: library version " + std::to_string((version >> 24) & 0xFF) + "." +
              std::to_string((version >> 16) & 0xFF) + "." + std::to_string((version >> 8) & 0xFF) +
              "." + std::to_string(version & 0xFF) + "; every device below is simulated.");
    Tally tally;
#ifdef KALVIX3_HAVE_SERIAL_SIM
    serialPart(tally);
#else
    if (const char *absence = platform::serialSimulatorsAbsence()) {
        heading("Serial lines: skipped");
        printLine(std::string("  ") + absence + ".");
    } else {
        tally.check(false, "serial device simulators (not built)");
    }
#endif
    std::string standIn = standInPath("ITUSB.DLL", standInFolder);
    if (standIn.empty())
        tally.check(false, "the stand-in ITUSB.DLL (not found" +
                               (standInFolder.empty() ? std::string(")") : " in " + standInFolder + ")"));
    else
        usbPart(standIn, tally);

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char summary[160];
    std::snprintf(summary, sizeof summary, "\n%d of %d expected results arrived in %.1f s.",
                  tally.seen, tally.expected, seconds);
    printLine(summary);
    for (const std::string &what : tally.missing)
        printLine("  missing: " + what);
    return tally.missing.empty() ? 0 : 1;
}

} // namespace

void registerDemo(CommandLine &commands) {
    auto standInFolder = std::make_shared<std::string>();
    CLI::App *demo = commands.add(
        "demo", "everything, against simulated devices (exit status 0 when all arrived)",
        [standInFolder] { return runDemo(*standInFolder); });
    demo->add_option("--stand-in", *standInFolder,
                     "the folder of the stand-in ITUSB.DLL (else $KALVIX3_SIM_DIR, stand-in\\ "
                     "beside the program, the installed or the built one)")
        ->type_name("DIR");
}

} // namespace tool
