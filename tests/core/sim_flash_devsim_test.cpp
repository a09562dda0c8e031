// kestrel-devsim's flash options: the image file kept across runs and the chip id.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "flash/core/spi_flash.h"
#include "link/transport.h"
#include "support/flash_sim.h"
#include "support/raw_peer.h"

namespace kestrel::test {
namespace {

// kestrel-devsim on a free loopback port, interrupted (and waited for) when it goes.
class Devsim {
  public:
    explicit Devsim(std::vector<std::string> args) {
        const int probe = bind_loopback();
        port_ = local_port(probe);
        close(probe);
        args.insert(args.begin(),
                    {KESTREL_DEVSIM_PATH, "--listen", "127.0.0.1:" + std::to_string(port_)});
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            freopen("/dev/null", "w", stdout);
            execv(KESTREL_DEVSIM_PATH, argv.data());
            _exit(127);
        }
    }
    ~Devsim() { stop(); }

    // Opens the link and waits until the simulator answers.
    bool connect() {
        if (!open_link("127.0.0.1", port_)) return false;
        for (int i = 0; i < 100; ++i) {
            if (connect_handshake()) return true;
        }
        return false;
    }
    int stop() {
        if (pid_ <= 0) return -1;
        close_link();
        kill(pid_, SIGINT);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

std::array<std::uint8_t, kPageSize> page_of(const ByteVector& bytes, std::size_t offset = 0) {
    std::array<std::uint8_t, kPageSize> page{};
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), kPageSize, page.begin());
    return page;
}

TEST(DevsimFlash, KeepsItsFlashInTheFileAcrossRunsAndAnswersTheGivenId) {
    TempDir dir;
    const std::string file = (dir / "flash.img").string();
    const ByteVector first = pattern_bytes(kPageSize, 3);
    const ByteVector second = pattern_bytes(kPageSize, 4);
    write_file(file, first);  // a short image: the rest of the chip is erased

    {
        Devsim devsim({"--flash-file", file});
        ASSERT_TRUE(devsim.connect());
        std::array<std::uint8_t, kPageSize> page{};
        spi_read_page({0, 0, 0}, page);
        EXPECT_EQ(page, page_of(first));
        EXPECT_EQ(spi_program_page({0, 1, 0}, page_of(second)), 1);
        EXPECT_EQ(devsim.stop(), 0);
    }
    const ByteVector saved = read_file(file);
    ASSERT_EQ(saved.size(), kFlashSize);
    EXPECT_EQ(page_of(saved, 0), page_of(first));
    EXPECT_EQ(page_of(saved, kPageSize), page_of(second));
    EXPECT_EQ(page_of(saved, 2 * kPageSize), page_of(ByteVector(kPageSize, 0xFF)));
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));

    Devsim devsim({"--flash-file", file, "--flash-id", "00:00:00"});
    ASSERT_TRUE(devsim.connect());
    FlashId id{0xAA, 0xAA, 0xAA};
    spi_read_id(id);
    EXPECT_EQ(id, (FlashId{0, 0, 0}));
    std::array<std::uint8_t, kPageSize> page{};
    spi_read_page({0, 1, 0}, page);
    EXPECT_EQ(page, page_of(second));
}

}  // namespace
}  // namespace kestrel::test
