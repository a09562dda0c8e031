// kestrelctl run in-process against the simulated device: its stdout and stderr captured, its
// sleeps counted (the 13 s erase is not spent).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/interrupt.h"
#include "cli/kestrelctl.h"
#include "support/flash_sim.h"

namespace kestrel::test {

struct CliRun {
    int code = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

class CliFixture : public FlashSimFixture {
  protected:
    sim::ServerOptions options() override {
        sim::ServerOptions o;
        o.faults = faults();
        o.on_exchange = [this](const sim::Exchange& ex) {
            std::lock_guard<std::mutex> guard(hook_mutex_);
            if (hook_) hook_(ex);
        };
        return o;
    }
    virtual sim::LinkFaults faults() { return {}; }
    // Called on the server thread after each served datagram.
    void set_hook(std::function<void(const sim::Exchange&)> hook) {
        std::lock_guard<std::mutex> guard(hook_mutex_);
        hook_ = std::move(hook);
    }

    // Runs kestrelctl with --device set to the simulator and --progress lines unless given.
    CliRun run(std::vector<std::string> args, bool with_device = true) {
        if (with_device) args.insert(args.begin(), {"--device", device_text()});
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        cli::CliStreams io{out, err, false};
        CliRun r;
        r.code = cli::run_kestrelctl(args, io);
        r.out = slurp(out);
        r.err = slurp(err);
        cli::reset_interrupts();
        return r;
    }
    std::string device_text() { return server_->address() + ":" + std::to_string(server_->port()); }
    std::uint64_t requests() { return server_->counters().requests; }
    std::uint32_t slept_ms() {
        std::uint32_t total = 0;
        for (auto ms : sleeps_.sleeps())
            total += ms;
        return total;
    }
    int chip_erases() {
        return with_chip([](sim::NorFlash& chip) { return chip.chip_erases(); });
    }
    int page_programs() {
        return with_chip([](sim::NorFlash& chip) { return chip.page_programs(); });
    }
    // The chip as a write of image must leave it.
    std::mutex hook_mutex_;
    std::function<void(const sim::Exchange&)> hook_;

    static ByteVector as_flashed(ByteVector image) {
        image.resize(kFlashSize, 0xFF);
        return image;
    }
    std::string image_file(const ByteVector& bytes, const std::string& name = "image.bin") {
        const auto path = dir_ / name;
        write_file(path, bytes);
        return path.string();
    }
};

}  // namespace kestrel::test
