// Where the settings file and the erase log go: beside a writable executable, else in the
// user's XDG folders.
#include "platform/app_paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "support/capture.h"
#include "support/flash_sim.h"
#include "support/scoped_env.h"

namespace kestrel::test {
namespace {

EnvironmentLookup fake_env(std::map<std::string, std::string> vars) {
    return [vars](std::string_view name) -> std::optional<std::string> {
        const auto it = vars.find(std::string(name));
        if (it == vars.end()) return std::nullopt;
        return it->second;
    };
}

std::string describe(const AppPaths& p) {
    return p.settings_dir.string() + "|" + p.log_dir.string() + "|" +
           (p.beside_executable ? "beside" : "user");
}

// Root may write to any folder, so as root the choice runs in a child that has become the
// unprivileged user "nobody"; otherwise it runs here.
std::string describe_as_ordinary_user(const std::filesystem::path& exe_dir,
                                      const EnvironmentLookup& env) {
    if (geteuid() != 0) return describe(choose_app_paths(exe_dir, env));
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        const std::string text = describe(choose_app_paths(exe_dir, env));
        const bool sent = write(fds[1], text.data(), text.size()) == ssize_t(text.size());
        _exit(sent ? 0 : 4);
    }
    close(fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return text;
}

// A folder that exists but that an ordinary user may not write to.
class ReadOnlyExeDir : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(top_.path().empty());
        ASSERT_EQ(chmod(top_.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(exe_dir_.c_str(), 0555), 0);
    }
    void TearDown() override { chmod(exe_dir_.c_str(), 0755); }

    TempDir top_;
    std::filesystem::path exe_dir_ = top_ / "bin";
};

TEST(AppPaths, WritableFolderKeepsBothFilesBesideTheExecutable) {
    TempDir dir;
    const auto env = fake_env({{"XDG_CONFIG_HOME", "/cfg"}, {"XDG_STATE_HOME", "/state"}});
    EXPECT_EQ(describe(choose_app_paths(dir.path(), env)),
              dir.path().string() + "|" + dir.path().string() + "|beside");
    // An empty folder name is the current directory, which the test runs in and may write.
    EXPECT_EQ(describe(choose_app_paths("", env)), ".|.|beside");
    // A path through /usr that leads elsewhere is judged where it leads.
    const std::filesystem::path detour = "/usr/.." / dir.path().relative_path();
    EXPECT_TRUE(choose_app_paths(detour, env).beside_executable);
}

TEST_F(ReadOnlyExeDir, SettingsGoToXdgConfigAndTheLogToXdgState) {
    const auto env = fake_env({{"HOME", "/home/u"},
                               {"XDG_CONFIG_HOME", "/home/u/cfg"},
                               {"XDG_STATE_HOME", "/var/u/state"}});
    EXPECT_EQ(describe_as_ordinary_user(exe_dir_, env),
              "/home/u/cfg/kestrel|/var/u/state/kestrel|user");
}

TEST_F(ReadOnlyExeDir, WithoutXdgVariablesTheHomeDefaultsApply) {
    EXPECT_EQ(describe_as_ordinary_user(exe_dir_, fake_env({{"HOME", "/home/u"}})),
              "/home/u/.config/kestrel|/home/u/.local/state/kestrel|user");
}

TEST_F(ReadOnlyExeDir, RelativeAndEmptyXdgValuesAreIgnored) {
    const auto env = fake_env(
        {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", "relative/cfg"}, {"XDG_STATE_HOME", ""}});
    EXPECT_EQ(describe_as_ordinary_user(exe_dir_, env),
              "/home/u/.config/kestrel|/home/u/.local/state/kestrel|user");
}

TEST_F(ReadOnlyExeDir, OneXdgVariableDoesNotMoveTheOtherFolder) {
    const auto env = fake_env({{"HOME", "/home/u"}, {"XDG_STATE_HOME", "/st"}});
    EXPECT_EQ(describe_as_ordinary_user(exe_dir_, env), "/home/u/.config/kestrel|/st/kestrel|user");
}

TEST_F(ReadOnlyExeDir, WithNoHomeAtAllTheExecutableFolderIsKept) {
    EXPECT_EQ(describe_as_ordinary_user(exe_dir_, fake_env({{"HOME", "relative"}})),
              exe_dir_.string() + "|" + exe_dir_.string() + "|beside");
}

// /usr is the package's: even root, who may write there, never keeps files in /usr/bin.
TEST(AppPaths, ExecutableUnderUsrUsesTheUserFoldersEvenWhenWritable) {
    const auto env = fake_env({{"HOME", "/root"}});
    EXPECT_EQ(describe(choose_app_paths("/usr/bin", env)),
              "/root/.config/kestrel|/root/.local/state/kestrel|user");
    EXPECT_EQ(describe(choose_app_paths("/usr/local/bin/", env)),
              "/root/.config/kestrel|/root/.local/state/kestrel|user");
    EXPECT_EQ(describe(choose_app_paths("/usr", env)),
              "/root/.config/kestrel|/root/.local/state/kestrel|user");
}

TEST(AppPaths, MissingExecutableFolderCountsAsNotWritable) {
    TempDir dir;
    const auto env = fake_env({{"XDG_CONFIG_HOME", "/c"}, {"XDG_STATE_HOME", "/s"}});
    EXPECT_EQ(describe(choose_app_paths(dir / "gone", env)), "/c/kestrel|/s/kestrel|user");
}

TEST(AppPaths, ProcessEnvironmentFallsBackToThePasswordEntryForHome) {
    const passwd* me = getpwuid(geteuid());
    ASSERT_NE(me, nullptr);
    const EnvironmentLookup env = process_environment();
    {
        ScopedEnv home("HOME", std::nullopt);
        EXPECT_EQ(env("HOME"), std::optional<std::string>(me->pw_dir));
    }
    {
        ScopedEnv home("HOME", "");
        EXPECT_EQ(env("HOME"), std::optional<std::string>(me->pw_dir));
    }
    ScopedEnv set("XDG_STATE_HOME", "/somewhere");
    ScopedEnv unset("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(env("XDG_STATE_HOME"), std::optional<std::string>("/somewhere"));
    EXPECT_EQ(env("XDG_CONFIG_HOME"), std::nullopt);
}

TEST(AppPaths, PrivateDirectoryIsMadeWithItsParentsAsOwnerOnly) {
    TempDir dir;
    const mode_t saved_mask = umask(022);
    const std::filesystem::path target = dir / "home/.local/state/kestrel";
    EXPECT_TRUE(make_private_directory(target).ok());
    umask(saved_mask);
    for (const auto& p : {dir / "home", dir / "home/.local", target}) {
        struct stat st {};
        ASSERT_EQ(stat(p.c_str(), &st), 0) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << p;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << p;
    }
    EXPECT_TRUE(make_private_directory(target).ok());  // already there
    EXPECT_TRUE(make_private_directory(target.string() + "/").ok());
}

TEST(AppPaths, PrivateDirectoryFailsWhenAFileIsInTheWay) {
    TempDir dir;
    write_file(dir / "state", ByteVector{'x'});
    TraceCapture traces;
    const Status file_in_the_way = make_private_directory(dir / "state");
    EXPECT_EQ(file_in_the_way.code(), StatusCode::FileError);
    EXPECT_FALSE(make_private_directory(dir / "state/kestrel").ok());
    const auto lines = traces.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(file_in_the_way.reason(), lines[0]);
    EXPECT_EQ(lines[0], (dir / "state").string() + " is not a folder");
    EXPECT_EQ(lines[1],
              "can't create the folder " + (dir / "state/kestrel").string() + ": Not a directory");
}

}  // namespace
}  // namespace kestrel::test
