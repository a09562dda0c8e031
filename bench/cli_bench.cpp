#include "cli_bench.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "cli/json.h"
#include "processes.h"

namespace kestrel::bench {
namespace {

double seconds_of(const timeval& tv) {
    return tv.tv_sec + tv.tv_usec / 1e6;
}

// Runs argv with stdout into out_path; wall time, child CPU time and the exit status.
int run_process(const std::vector<std::string>& argv, const std::string& out_path, double& wall,
                double& cpu) {
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::FILE* out = std::freopen(out_path.c_str(), "w", stdout);
        std::FILE* err = std::freopen("/dev/null", "w", stderr);
        (void)out;
        (void)err;
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string last_line(const std::string& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    return last;
}

double number(const std::string& json, const char* key) {
    return std::atof(cli::json_field(json, key).value_or("0").c_str());
}

}  // namespace

CliRun run_kestrelctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {KESTRELCTL_PATH, "--json", "--progress", "none"};
    argv.insert(argv.end(), args.begin(), args.end());
    char out_path[] = "/tmp/kestrel-bench-cli-XXXXXX";
    const int fd = mkstemp(out_path);
    if (fd >= 0) close(fd);
    CliRun run;
    const int code = run_process(argv, out_path, run.seconds, run.cpu_s);
    const std::string json = last_line(out_path);
    unlink(out_path);
    run.ok = code == 0;
    run.waits_s = number(json, "waits_s");
    run.exchanges = static_cast<std::uint64_t>(number(json, "exchanges"));
    return run;
}

BatchScale measure_batch(int units, int pages, const std::string& devsim_args,
                         const std::string& work_dir) {
    BatchScale scale;
    scale.units = units;
    std::vector<std::unique_ptr<DevsimProcess>> sims;
    for (int i = 0; i < units; ++i)
        sims.push_back(std::make_unique<DevsimProcess>(devsim_args));
    std::vector<std::uint8_t> image(static_cast<std::size_t>(pages) * 256);
    std::mt19937 rng(7);
    for (auto& b : image)
        b = static_cast<std::uint8_t>(rng());
    const std::string dir = work_dir + "/batch-" + std::to_string(units);
    std::system(("mkdir -p '" + dir + "'").c_str());
    std::ofstream(dir + "/image.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
    {
        std::ofstream plan(dir + "/plan.csv");
        plan << "device,image,label\n";
        for (int i = 0; i < units; ++i)
            plan << "127.0.0.1:" << sims[static_cast<std::size_t>(i)]->port() << "," << dir
                 << "/image.bin,u" << i << "\n";
    }
    const std::string report = dir + "/report.jsonl";
    const std::vector<std::string> argv = {
        KESTRELCTL_PATH, "batch", dir + "/plan.csv", "-j", std::to_string(units),
        "--report",      report};
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);  // batch-logs/ goes there
    const int code = run_process(argv, dir + "/stdout.txt", scale.seconds, scale.cpu_s);
    std::filesystem::current_path(cwd);
    scale.ok = code == 0;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);) {
        scale.exchanges += static_cast<std::uint64_t>(number(line, "exchanges"));
    }
    // Every unit waits the same erase; its 13 s pause and polls are the fixed part.
    scale.waits_s = 13.0;
    return scale;
}

}  // namespace kestrel::bench
