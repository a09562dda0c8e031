// Files written whole: what stands under the name while writing, after a commit, after an
// abandoned write, and the mode a new file gets.
#include "platform/atomic_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>

#include "support/temp_dir.h"

namespace kestrel {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class AtomicFileTest : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::set<std::string> names() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
            out.insert(e.path().filename().string());
        return out;
    }
    static std::string text(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void put(const std::string& file, const std::string& body) {
        std::ofstream(file, std::ios::binary) << body;
    }
    static bool write_text(AtomicFile& f, const std::string& body) {
        return f.write({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
    }
    static unsigned mode_of(const std::string& file) {
        struct stat st {};
        return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    test::TempDir dir_;
};

// Sets the umask for one scope (the test's thread is the only one that makes files).
struct ScopedUmask {
    explicit ScopedUmask(mode_t mask) : saved(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved); }
    mode_t saved;
};

TEST_F(AtomicFileTest, TheNameHoldsTheOldFileUntilCommitThenTheWholeNewOne) {
    const std::string target = path("state");
    put(target, "old");
    {
        AtomicFile f(target);
        ASSERT_TRUE(f.ok()) << f.error();
        ASSERT_TRUE(write_text(f, "new "));
        ASSERT_TRUE(write_text(f, "body"));
        EXPECT_EQ(text(target), "old");
        ASSERT_EQ(names().size(), 2u);
        EXPECT_THAT(*names().begin(), StartsWith(".state.tmp-"));
        ASSERT_TRUE(f.commit()) << f.error();
    }
    EXPECT_EQ(text(target), "new body");
    EXPECT_THAT(names(), ElementsAre("state"));
}

TEST_F(AtomicFileTest, AWriteNotCommittedLeavesNothingBehind) {
    put(path("kept"), "old");
    {
        AtomicFile f(path("kept"));
        ASSERT_TRUE(write_text(f, "half"));
    }
    {
        AtomicFile f(path("never"));
        ASSERT_TRUE(f.ok());
    }
    EXPECT_THAT(names(), ElementsAre("kept"));
    EXPECT_EQ(text(path("kept")), "old");
}

TEST_F(AtomicFileTest, ANewFileGetsItsModeLessTheUmaskAndReplacesTheOldOnesMode) {
    put(path("a"), "old");
    ASSERT_EQ(::chmod(path("a").c_str(), 0600), 0);
    {
        const ScopedUmask mask(002);
        AtomicFile shared(path("a"));
        AtomicFile dump(path("b"), 0644);
        ASSERT_TRUE(shared.commit() && dump.commit());
    }
    EXPECT_EQ(mode_of(path("a")), 0664u);
    EXPECT_EQ(mode_of(path("b")), 0644u);
    {
        const ScopedUmask mask(077);
        AtomicFile f(path("c"));
        ASSERT_TRUE(f.commit());
        // The umask is the caller's still: neither read away nor left changed.
        EXPECT_EQ(::umask(077), 077u);
    }
    EXPECT_EQ(mode_of(path("c")), 0600u);
}

TEST_F(AtomicFileTest, WhatCannotBeMadeIsSaidBeforeAnythingIsCreated) {
    ASSERT_TRUE(std::filesystem::create_directory(dir_ / "sub"));
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {path("sub"), "exists and is a directory"},
        {path("sub") + "/", "names a directory, not a file"},
        {"", "names a directory, not a file"},
        {"/dev/null", "\"/dev/null\" exists and is a character device"},
        {path("missing/x"), "can't create a file in \"" + path("missing") + "/\": No such file"},
    };
    for (const auto& c : cases) {
        AtomicFile f(c.path);
        EXPECT_FALSE(f.ok()) << c.path;
        EXPECT_THAT(f.error(), HasSubstr(c.reason)) << c.path;
        EXPECT_FALSE(write_text(f, "x"));
        EXPECT_FALSE(f.commit());
    }
    EXPECT_EQ(AtomicFile::check_target(path("fresh")), "");
    EXPECT_THAT(names(), ElementsAre("sub"));
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "sub"));
}

TEST_F(AtomicFileTest, ANameWithoutAFolderIsMadeInTheWorkingFolder) {
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    {
        AtomicFile f("here.txt");
        EXPECT_TRUE(write_text(f, "x") && f.commit()) << f.error();
    }
    std::filesystem::current_path(before);
    EXPECT_THAT(names(), ElementsAre("here.txt"));
}

}  // namespace
}  // namespace kestrel
