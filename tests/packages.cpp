// What a user gets from the packages: the Debian package unpacked as dpkg
// would install it, its manual page and lintian's verdict, and the Windows
// zip's program run under 32-bit Wine. Each copies the sample and is held
// to the same model as the table.
#include "model.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace textcopy_test {
namespace {

namespace fs = std::filesystem;

const std::string package_dir = TEXTCOPY_PACKAGE_DIR;
const std::string version = TEXTCOPY_VERSION;
const std::string deb = package_dir + "/textcopy_" + version + "_amd64.deb";
const std::string zip = package_dir + "/textcopy-" + version + "-win32.zip";

// Runs a shell command; its output goes to the test's log.
int shell(const std::string &command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Copies the sample with the program and checks the transcript and the
// destination against the model.
void copies_the_sample(const Program &program)
{
    std::string sample;
    ASSERT_TRUE(read_file(TEXTCOPY_SAMPLE, sample));
    Scratch scratch;
    scratch.write("poem.txt", sample);
    RunResult result = run(scratch, {"poem.txt", "copy.txt"}, {}, program);
    Expected want = expected(program.mode, sample, Outcome::copied);
    std::string copy;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, want.transcript);
    EXPECT_TRUE(read_file(scratch.path("copy.txt"), copy));
    EXPECT_EQ(copy, want.destination);
}

TEST(Packages, DebianPackageInstallsACopierAndItsManualPage)
{
    Scratch root;
    ASSERT_EQ(shell("dpkg-deb -x " + deb + " " + root.dir()), 0);
    EXPECT_TRUE(fs::is_regular_file(root.path("usr/share/man/man1/textcopy.1.gz")));
    EXPECT_TRUE(fs::is_regular_file(root.path("usr/share/doc/textcopy/copyright")));
    copies_the_sample({.exe = root.path("usr/bin/textcopy")});

    // The page is Chinese, so it is read as a user would read it: in a
    // UTF-8 locale. man-db passes groff's warnings on to standard error.
    std::string page = root.path("usr/share/man/man1/textcopy.1.gz");
    EXPECT_EQ(shell("out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l " + page
                    + " 2>&1 >/dev/null); echo \"$out\"; "
                      "test -z \"$out\""),
              0);
    EXPECT_EQ(shell("zcat " + page + " | mandoc -T lint -W warning"), 0);
}

TEST(Packages, LintianFindsNoErrorOrWarning)
{
    EXPECT_EQ(shell("lintian --fail-on error,warning --info " + deb), 0);
}

TEST(Packages, WindowsZipHoldsA32BitCopierAndAReadMe)
{
    Scratch unpacked;
    ASSERT_EQ(shell("cd " + unpacked.dir() + " && cmake -E tar xf " + zip), 0);
    std::string folder = unpacked.path("textcopy-" + version + "-win32");
    std::string read_me;
    ASSERT_TRUE(read_file(folder + "/README.txt", read_me));
    // Notepad knows UTF-8 by its byte-order mark, and wants CR LF.
    EXPECT_EQ(read_me.substr(0, 3), "\xEF\xBB\xBF");
    for (size_t at = read_me.find('\n'); at != std::string::npos; at = read_me.find('\n', at + 1))
        ASSERT_TRUE(at > 0 && read_me[at - 1] == '\r') << "a line feed without a carriage return at byte " << at;

    std::string wine = TEXTCOPY_WINE " 32 " + package_dir + "/wineprefix";
    ASSERT_EQ(shell(wine + " start " + folder + "/textcopy.exe"), 0);
    copies_the_sample({.exe = folder + "/textcopy.exe",
                       .runner = {TEXTCOPY_WINE, "32", package_dir + "/wineprefix"},
                       .leg = win32,
                       .mode = {.windows = true}});
    shell(wine + " stop");
}

}  // namespace
}  // namespace textcopy_test
