// kestrelctl batch as a user runs it: the real executable, one child per unit, against
// simulated devices served from this process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "cli/json.h"
#include "cli/mac_pool.h"
#include "support/flash_sim.h"

namespace kestrel::test {
namespace {

using ::testing::HasSubstr;

struct SimUnit {
    sim::Device device;
    std::unique_ptr<sim::Server> server;
    std::string where() const { return server->address() + ":" + std::to_string(server->port()); }
    std::string mac() {
        std::lock_guard<std::mutex> guard(server->lock());
        return cli::mac_text([&] {
            cli::Mac48 m = 0;
            for (auto b : device.config().mac())
                m = m << 8 | b;
            return m;
        }());
    }
};

class BatchTest : public ::testing::Test {
  protected:
    // n devices; slow_us delays every served datagram so that a unit takes a while.
    void start(int n, int slow_us = 0) {
        for (int i = 0; i < n; ++i) {
            auto u = std::make_unique<SimUnit>();
            sim::ServerOptions o;
            o.log_exchanges = false;
            if (slow_us > 0) {
                o.on_exchange = [slow_us](const sim::Exchange&) {
                    std::this_thread::sleep_for(std::chrono::microseconds(slow_us));
                };
            }
            u->device.config().set_mac(
                {0x00, 0x1a, 0x2b, 0x3c, 0x4d, static_cast<std::uint8_t>(i)});
            u->server = std::make_unique<sim::Server>(u->device, o);
            ASSERT_TRUE(u->server->start());
            units_.push_back(std::move(u));
        }
    }
    void TearDown() override {
        for (auto& u : units_)
            u->server->stop();
    }

    // Runs kestrelctl in the temporary directory; returns its exit status.
    int kestrelctl(const std::string& args, std::string* out = nullptr) {
        const std::string cmd = "cd '" + dir_.path().string() + "' && '" KESTRELCTL_PATH "' " +
                                args + " >stdout.txt 2>stderr.txt";
        const int status = std::system(cmd.c_str());
        if (out) *out = text(dir_ / "stdout.txt") + text(dir_ / "stderr.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string text(const std::filesystem::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> report_lines() {
        std::vector<std::string> lines;
        std::ifstream in(dir_ / "batch-report.jsonl");
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
    void plan(const std::string& body) { std::ofstream(dir_ / "plan.csv") << body; }
    ByteVector chip(SimUnit& u) {
        std::lock_guard<std::mutex> guard(u.server->lock());
        const auto c = u.device.flash().contents();
        return ByteVector(c.begin(), c.end());
    }

    TempDir dir_;
    std::vector<std::unique_ptr<SimUnit>> units_;
};

TEST_F(BatchTest, FourUnitsOneWithoutAFlashChipGiveThreeOkAndOneFailed) {
    start(4);
    {
        std::lock_guard<std::mutex> guard(units_[2]->server->lock());
        units_[2]->device.flash().set_jedec_id({0x00, 0x00, 0x00});
    }
    ByteVector image = pattern_bytes(30 * 256 + 7);
    write_file(dir_ / "image.bin", image);
    plan("device,image,mac,ts_port,label\n" + units_[0]->where() + ",image.bin,auto,1111,a\n" +
         units_[1]->where() + ",image.bin,auto,,b\n" + units_[2]->where() +
         ",image.bin,auto,,nochip\n" + units_[3]->where() +
         ",image.bin,02:00:00:00:99:01,2222,d\n");
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --mac-range 02:00:00:00:00:00-02:00:00:00:00:ff", &out),
              1);
    EXPECT_THAT(out, HasSubstr("4 units: 3 ok, 1 failed (nochip)"));
    const auto lines = report_lines();
    ASSERT_EQ(lines.size(), 4u);
    int ok = 0;
    for (const auto& l : lines) {
        const std::string label = cli::json_field(l, "label").value_or("");
        const std::string result = cli::json_field(l, "result").value_or("");
        if (label == "nochip") {
            EXPECT_EQ(result, "failed");
            EXPECT_EQ(cli::json_field(l, "exit_code"), "4");
            EXPECT_EQ(cli::json_field(l, "flash_id"), "000000");
        } else {
            ok += result == "ok";
            EXPECT_EQ(cli::json_field(l, "pages_verified"), "31") << l;
            EXPECT_EQ(cli::json_field(l, "mac_before").value_or("").substr(0, 15),
                      "00:1a:2b:3c:4d:");
        }
    }
    EXPECT_EQ(ok, 3);
    image.resize(kFlashSize, 0xFF);
    EXPECT_EQ(chip(*units_[0]), image);
    EXPECT_EQ(chip(*units_[1]), image);
    EXPECT_EQ(chip(*units_[3]), image);
    EXPECT_EQ(units_[3]->mac(), "02:00:00:00:99:01");
    EXPECT_EQ(units_[3]->device.config().ts_port(), 2222);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "batch-logs" / "nochip.log"));
    EXPECT_THAT(text(dir_ / "batch-report.csv"), HasSubstr("nochip,"));
}

TEST_F(BatchTest, EachUnitsWindowReachesItsKestrelctlAndTheImageIsWrittenAndVerified) {
    start(3);
    ByteVector image = pattern_bytes(12 * 256 + 3);
    write_file(dir_ / "image.bin", image);
    plan("device,image,window,label\n" + units_[0]->where() + ",image.bin,auto,a\n" +
         units_[1]->where() + ",image.bin,4,b\n" + units_[2]->where() + ",image.bin,,c\n");
    std::string out;
    ASSERT_EQ(kestrelctl("batch plan.csv", &out), 0) << out;
    EXPECT_THAT(out, HasSubstr("3 units: 3 ok, 0 failed"));
    image.resize(kFlashSize, 0xFF);
    for (auto& u : units_)
        EXPECT_EQ(chip(*u), image);
    plan("device,window\n" + units_[0]->where() + ",0\n");
    EXPECT_EQ(kestrelctl("batch plan.csv", &out), 2);
    EXPECT_THAT(out, HasSubstr("plan.csv line 2: window: \"0\" is not a whole number"));
}

TEST_F(BatchTest, MacsFromARangeAreNeverHandedOutTwiceAcrossRunsAndAKilledRun) {
    start(6, 3000);
    const auto row = [this](int i) {
        return units_[static_cast<std::size_t>(i)]->where() + ",auto,u" + std::to_string(i) + "\n";
    };
    plan("device,mac,label\n" + row(0) + row(1) + row(2));
    const std::string range = " --mac-range 02:00:00:00:00:00-02:00:00:00:00:05";
    // A run killed while its units are under way: whatever it took stays taken.
    const std::string cmd = "cd '" + dir_.path().string() +
                            "' && exec '" KESTRELCTL_PATH "' batch plan.csv -j 1" + range +
                            " >/dev/null 2>&1";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 400 && report_lines().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    // An orphaned unit child finishes: wait until the first three devices have been quiet for
    // half a second (a sanitizer build may take seconds).
    for (int i = 0; i < 40; ++i) {
        const auto served = [this] {
            std::uint64_t n = 0;
            for (int u = 0; u < 3; ++u)
                n += units_[static_cast<std::size_t>(u)]->server->counters().requests;
            return n;
        };
        const std::uint64_t before = served();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (served() == before) break;
    }

    plan("device,mac,label\n" + row(3) + row(4) + row(5));
    std::string second;
    EXPECT_EQ(kestrelctl("batch plan.csv" + range, &second), 0) << second;
    std::set<std::string> macs;
    for (const auto& u : units_) {
        const std::string m = u->mac();
        if (m.rfind("02:00:00:00:00:", 0) == 0) {
            EXPECT_TRUE(macs.insert(m).second) << m;
        }
    }
    EXPECT_GE(macs.size(), 4u);
    // The range holds six. The killed run may have taken one it never set, so the next run
    // either finds the range used up and says so, or hands out one no device holds yet.
    plan("device,mac,label\n" + units_[0]->where() + ",auto,again\n");
    std::string out;
    const int again = kestrelctl("batch plan.csv --report again.jsonl" + range, &out);
    if (macs.size() == 6) {
        EXPECT_EQ(again, 1) << out;
    }
    if (again == 1) {
        EXPECT_THAT(text(dir_ / "again.jsonl"), HasSubstr("is used up"));
    } else {
        EXPECT_EQ(again, 0) << out;
        const std::string m = units_[0]->mac();
        EXPECT_EQ(m.rfind("02:00:00:00:00:", 0), 0u) << m;
        EXPECT_EQ(macs.count(m), 0u) << m << " handed out twice";
    }
}

TEST_F(BatchTest, BadRowsAreAllNamedAndNothingRuns) {
    start(1);
    plan("device,mac,new_ip,ts_port,multicast,multicast_ip,reset,label\n" + units_[0]->where() +
         ",zz:00,,,,,,ok1\n"
         "10.1:5000,,,,,,,\n" +
         units_[0]->where() + ",,0.0.0.0:5000,70000,maybe,10.0.0.1,sometimes,bad/label\n");
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --check", &out), 2);
    for (const char* expect :
         {"plan.csv line 2: mac:", "plan.csv line 3: device:", "line 4: new_ip:",
          "line 4: ts_port:", "line 4: multicast:", "line 4: multicast_ip:", "line 4: reset:",
          "line 4: label:", "line 4: device:"}) {
        EXPECT_THAT(out, HasSubstr(expect));
    }
    EXPECT_EQ(units_[0]->server->counters().requests, 0u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "batch-report.jsonl"));
    plan("device,mac\n" + units_[0]->where() + ",auto\n");
    EXPECT_EQ(kestrelctl("batch plan.csv", &out), 2);
    EXPECT_THAT(out, HasSubstr("mac: auto needs --mac-range"));
}

TEST_F(BatchTest, AnOutputOnAnInputOrOnAnotherOutputIsRefusedBeforeAnyDatagram) {
    start(1);
    const ByteVector image = pattern_bytes(3 * 256);
    write_file(dir_ / "image.bin", image);
    const std::string body = "device,image,mac\n" + units_[0]->where() + ",image.bin,auto\n";
    plan(body);
    const std::string range = " --mac-range 02:00:00:00:00:00-02:00:00:00:00:ff";
    std::filesystem::create_directory(dir_ / "sub");
    std::filesystem::create_hard_link(dir_ / "image.bin", dir_ / "linked.jsonl");
    const std::vector<std::pair<std::string, std::string>> runs = {
        {"--mac-state plan.csv",
         "the MAC state file \"plan.csv\" is the plan (\"plan.csv\"); nothing was run"},
        {"--report image.bin", "the report \"image.bin\" is the image of line 2 (\"image.bin\")"},
        {"--report linked.jsonl",
         "the report \"linked.jsonl\" is the image of line 2 (\"image.bin\")"},
        {"--report r.jsonl --mac-state r.csv",
         "the MAC state file \"r.csv\" is the CSV summary (\"r.csv\")"},
        {"--mac-state sub/../image.bin",
         "the MAC state file \"sub/../image.bin\" is the image of line 2"},
        {"--report s.lock --mac-state s",
         "the MAC state lock \"s.lock\" is the report (\"s.lock\")"},
    };
    for (const auto& [args, error] : runs) {
        std::string out;
        EXPECT_EQ(kestrelctl("batch plan.csv " + args + range, &out), 2) << args;
        EXPECT_THAT(out, HasSubstr(error)) << args;
    }
    EXPECT_EQ(text(dir_ / "plan.csv"), body);
    EXPECT_EQ(read_file(dir_ / "image.bin"), image);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "r.csv"));
    EXPECT_EQ(units_[0]->server->counters().requests, 0u);
}

TEST_F(BatchTest, TheReportIsAppendedToOnlyWhenItIsABatchReport) {
    start(1);
    plan("device,ts_port,label\n" + units_[0]->where() + ",1234,u0\n");
    std::ofstream(dir_ / "notes.jsonl") << "{\"label\":\"x\"}\nnot json\n";
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --report notes.jsonl", &out), 2);
    EXPECT_THAT(out,
                HasSubstr("the report \"notes.jsonl\" line 1 is not a line of a batch report"));
    EXPECT_EQ(text(dir_ / "notes.jsonl"), "{\"label\":\"x\"}\nnot json\n");
    EXPECT_EQ(units_[0]->server->counters().requests, 0u);
    ASSERT_EQ(::mkfifo((dir_ / "fifo.jsonl").c_str(), 0600), 0);
    EXPECT_EQ(kestrelctl("batch plan.csv --report fifo.jsonl", &out), 2);
    EXPECT_THAT(out, HasSubstr("\"fifo.jsonl\" is a FIFO, not a regular file"));
    std::filesystem::create_directory(dir_ / "batch-logs");
    ASSERT_EQ(::mkfifo((dir_ / "batch-logs" / "u0.log").c_str(), 0600), 0);
    EXPECT_EQ(kestrelctl("batch plan.csv", &out), 2);
    EXPECT_THAT(out,
                HasSubstr("the log of line 2 \"batch-logs/u0.log\" is a FIFO, not a regular file"));
    std::filesystem::remove(dir_ / "batch-logs" / "u0.log");
    // Its own report, empty or not, takes the next run's lines.
    std::ofstream(dir_ / "batch-report.jsonl").close();
    EXPECT_EQ(kestrelctl("batch plan.csv", &out), 0) << out;
    EXPECT_EQ(kestrelctl("batch plan.csv", &out), 0) << out;
    EXPECT_EQ(report_lines().size(), 2u);
}

TEST_F(BatchTest, APlanThatIsNoRegularFileOrTooLargeIsRefusedWithoutHanging) {
    ASSERT_EQ(::mkfifo((dir_ / "fifo.csv").c_str(), 0600), 0);
    std::string out;
    EXPECT_EQ(kestrelctl("batch fifo.csv --check", &out), 2);
    EXPECT_THAT(out, HasSubstr("the plan: \"fifo.csv\" is a FIFO, not a regular file"));
    EXPECT_EQ(kestrelctl("batch /dev/zero --check", &out), 2);
    EXPECT_THAT(out, HasSubstr("the plan: \"/dev/zero\" is a device, not a regular file"));
    plan("device\n" + std::string(1 << 20, '#') + "\n");
    EXPECT_EQ(kestrelctl("batch plan.csv --check", &out), 2);
    EXPECT_THAT(out, HasSubstr("the plan: \"plan.csv\" is larger than 1 MiB"));
}

TEST_F(BatchTest, DeviceCellsTakeHostNamesResolvedOnceAndANameThatDoesNotResolveIsNamed) {
    start(1);
    const std::string port = std::to_string(units_[0]->server->port());
    ASSERT_EQ(units_[0]->server->address(), "127.0.0.1");
    plan("device,label\nlocalhost:" + port +
         ",u1\nno-such-unit.invalid:5000,u2\n127.0.0.1:" + port + ",u3\n" + "localhost,u4\n");
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --check", &out), 2);
    EXPECT_THAT(
        out,
        HasSubstr(
            "plan.csv line 3: device: the name \"no-such-unit.invalid\" does not resolve to an "
            "IPv4 address ("));
    // The name and the address are one device: the rows would undo each other.
    EXPECT_THAT(out,
                HasSubstr("plan.csv line 4: device: \"127.0.0.1:" + port + "\" is also on line 2"));
    EXPECT_THAT(out, HasSubstr("plan.csv line 5: device: \"localhost\" is not HOST:PORT"));
    EXPECT_EQ(units_[0]->server->counters().requests, 0u);

    plan("device,ts_port,label\nlocalhost:" + port + ",4321,u1\n");
    EXPECT_EQ(kestrelctl("batch plan.csv", &out), 0) << out;
    EXPECT_EQ(units_[0]->device.config().ts_port(), 4321);
    EXPECT_THAT(text(dir_ / "batch-report.csv"), HasSubstr("\nu1,127.0.0.1:" + port + ",ok,"));
}

TEST_F(BatchTest, AnImageCellThatIsNoUsableFileSaysWhatItIs) {
    start(1);
    std::filesystem::create_directory(dir_ / "images");
    std::ofstream(dir_ / "empty.bin").flush();
    ASSERT_EQ(::mkfifo((dir_ / "fifo.bin").c_str(), 0600), 0);
    const std::string device = units_[0]->where();
    plan("device,image,label\n" + device + ",images,a\n" + device + ",/dev/zero,b\n" + device +
         ",empty.bin,c\n" + device + ",missing.bin,d\n" + device + ",fifo.bin,e\n");
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --check", &out), 2);
    for (const char* said :
         {"line 2: image: \"images\" is a directory, not a regular file",
          "line 3: image: \"/dev/zero\" is a character device, not a regular file",
          "line 4: image: \"empty.bin\" is empty",
          "line 5: image: can't open \"missing.bin\": No such file or directory",
          "line 6: image: \"fifo.bin\" is a FIFO, not a regular file"}) {
        EXPECT_THAT(out, HasSubstr(said));
    }
    EXPECT_EQ(units_[0]->server->counters().requests, 0u);
}

TEST_F(BatchTest, PlanCellsInMessagesAreEscapedAndCutTo80Characters) {
    plan("device,label\n\x1b[2J" + std::string(1000000, 'A') + ",caf\xc3\xa9\n");
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --check", &out), 2);
    EXPECT_THAT(out, HasSubstr("plan.csv line 2: device: \"\\x1b[2J" + std::string(70, 'A') +
                               "...\" is not HOST:PORT"));
    EXPECT_THAT(out, HasSubstr("plan.csv line 2: label: \"caf\\xc3\\xa9\" may hold only"));
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_LT(out.size(), 2000u);
}

TEST_F(BatchTest, JobsAreTakenUpToTheDocumented16AndMacsNoDeviceMayHaveAreRefused) {
    start(1);
    plan("device,mac\n" + units_[0]->where() + ",02:00:00:00:00:01\n");
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --check -j 16", &out), 0) << out;
    EXPECT_EQ(kestrelctl("batch plan.csv --check -j 17", &out), 2);
    EXPECT_THAT(out, HasSubstr("batch: -j takes 1 to 16"));
    EXPECT_EQ(kestrelctl("batch plan.csv --check -j 64", &out), 2);
    plan("device,mac\n" + units_[0]->where() + ",01:00:5e:00:00:01\n");
    EXPECT_EQ(kestrelctl("batch plan.csv --check", &out), 2);
    EXPECT_THAT(out, HasSubstr("plan.csv line 2: mac: 01:00:5e:00:00:01 is a multicast address "
                               "(bit 0 of the first byte is set)"));
    plan("device,mac\n" + units_[0]->where() + ",auto\n");
    EXPECT_EQ(
        kestrelctl("batch plan.csv --check --mac-range ff:ff:ff:ff:ff:ff-ff:ff:ff:ff:ff:ff", &out),
        2);
    EXPECT_THAT(out, HasSubstr("batch: --mac-range: the range ff:ff:ff:ff:ff:ff-ff:ff:ff:ff:ff:ff "
                               "starts with the broadcast address"));
    EXPECT_EQ(units_[0]->server->counters().requests, 0u);
}

TEST_F(BatchTest, ADamagedStateFileStopsTheBatchBeforeAnyDatagram) {
    start(1);
    plan("device,mac\n" + units_[0]->where() + ",auto\n");
    std::ofstream(dir_ / "kestrel-macs.state") << "02:00:00:00:00:00-02:00:00:00:00:ff\n";
    std::string out;
    EXPECT_EQ(kestrelctl("batch plan.csv --mac-range 02:00:00:00:00:00-02:00:00:00:00:ff", &out),
              2);
    EXPECT_THAT(out, HasSubstr("kestrel-macs.state line 1: \"02:00:00:00:00:00-02:00:00:00:00:ff\" "
                               "is not a MAC state line"));
    EXPECT_EQ(units_[0]->server->counters().requests, 0u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "batch-report.jsonl"));
}

TEST(MacPoolTest, TakesAddressesInOrderAndStopsAtTheEnd) {
    TempDir dir;
    const auto range = cli::parse_mac_range("02:00:00:00:00:fe-02:00:00:00:01:00");
    ASSERT_TRUE(range);
    const std::string state = (dir / "macs.state").string();
    std::vector<std::string> got;
    for (int i = 0; i < 3; ++i) {
        const auto take = cli::take_mac(state, *range);
        ASSERT_TRUE(take.ok()) << take.reason();
        got.push_back(cli::mac_text(*take));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"02:00:00:00:00:fe", "02:00:00:00:00:ff",
                                             "02:00:00:00:01:00"}));
    const auto more = cli::take_mac(state, *range);
    EXPECT_FALSE(more.ok());
    EXPECT_THAT(more.reason(), HasSubstr("used up"));
    EXPECT_FALSE(cli::parse_mac_range("02:00:00:00:00:05-02:00:00:00:00:04"));
}

TEST(MacPoolTest, ProcessesTakingAtOnceNeverShareAnAddress) {
    TempDir dir;
    const auto range = cli::parse_mac_range("02:00:00:00:00:00-02:00:00:00:ff:ff");
    const std::string state = (dir / "macs.state").string();
    const std::string out = (dir / "taken").string();
    std::vector<pid_t> kids;
    for (int k = 0; k < 4; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::ofstream f(out + std::to_string(k));
            for (int i = 0; i < 50; ++i) {
                const auto take = cli::take_mac(state, *range);
                if (take.ok()) f << cli::mac_text(*take) << '\n';
            }
            f.close();
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids)
        ::waitpid(pid, nullptr, 0);
    std::set<std::string> all;
    std::size_t total = 0;
    for (int k = 0; k < 4; ++k) {
        std::ifstream f(out + std::to_string(k));
        for (std::string l; std::getline(f, l); ++total)
            all.insert(l);
    }
    EXPECT_EQ(total, 200u);
    EXPECT_EQ(all.size(), 200u);
}

}  // namespace
}  // namespace kestrel::test
