// The table of black-box cases: each makes its files in a fresh scratch
// folder, runs the real program, and checks its standard output byte for
// byte, the destination's bytes, that standard error stayed empty, that the
// exit status is 0, and that nothing else in the folder changed.
#include "support.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <cstring>
#include <map>

namespace textcopy_test {
namespace {

namespace fs = std::filesystem;

// How a run ends, from the user's side.
enum class Outcome {
    copied,                // the full transcript, and the destination holds the copy
    source_refused,        // the open-failure message alone
    destination_refused,   // the content, then the open-failure message
    write_failed,          // the content, then the write-failure message
    silent,                // nothing at all: standard output is the source
};

// Which builds a case applies to, and why it applies to no other.
enum class Legs { all, posix, windows, windows32 };

struct Case {
    const char *name;
    Outcome outcome;
    // The source's bytes, written to source_name unless setup makes the source.
    const char *source = nullptr;
    size_t source_size = 0;
    const char *source_name = "src.txt";
    std::function<void(Scratch &)> setup = nullptr;
    std::vector<std::string> args = {"src.txt", "dst.txt"};
    RunOptions options = {};
    Legs legs = Legs::all;
    const char *why_not_elsewhere = "";
};

template <size_t N>
Case with_source(Case c, const char (&bytes)[N])
{
    c.source = bytes;
    c.source_size = N - 1;
    return c;
}

// A snapshot of everything under the scratch folder, so a case can tell that
// nothing it did not expect was created, removed or changed.
std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> state;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        std::string name = fs::relative(it->path(), dir).string();
        struct stat st;
        lstat(it->path().c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_ino) + " "
            + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "."
            + std::to_string(st.st_mtim.tv_nsec);
        std::string bytes;
        if (S_ISREG(st.st_mode) && st.st_size <= (1 << 24) && read_file(it->path(), bytes))
            what += " " + bytes;
        else if (S_ISLNK(st.st_mode))
            what += " -> " + fs::read_symlink(it->path()).string();
        state[name] = what;
    }
    return state;
}

void sparse(Scratch &scratch, const std::string &name, off_t size)
{
    scratch.write(name, "");
    ASSERT_EQ(truncate(scratch.path(name).c_str(), size), 0);
}

void give_to_nobody(const std::string &path)
{
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
}

const std::vector<Case> cases = {
    with_source({.name = "plain_text_with_lf_line_ends", .outcome = Outcome::copied}, "Hello, textcopy.\nSecond line\n"),
    with_source({.name = "empty_source", .outcome = Outcome::copied}, ""),
    with_source({.name = "nul_byte_ends_the_copy", .outcome = Outcome::copied}, "before\0after\n"),
    with_source({.name = "no_line_feed_at_the_end", .outcome = Outcome::copied}, "no line feed at the end"),
    with_source({.name = "crlf_line_ends", .outcome = Outcome::copied}, "one\r\ntwo\r\n"),
    with_source({.name = "lone_and_doubled_carriage_returns", .outcome = Outcome::copied}, "a\rb\r\r\nc\r"),
    with_source({.name = "ctrl_z_ends_a_windows_read", .outcome = Outcome::copied}, "before\x1A after\n"),
    with_source({.name = "percent_signs_are_shown_literally", .outcome = Outcome::copied}, "100% %s %d %n %%\n"),
    with_source({.name = "bytes_outside_ascii_pass_unchanged", .outcome = Outcome::copied},
                "\xD6\xD0\xCE\xC4 \xE4\xB8\xAD\xE6\x96\x87 \x80\xFF\xA3\xAC\n"),
    with_source({.name = "longer_existing_destination_is_emptied", .outcome = Outcome::copied,
                 .setup = [](Scratch &s) { s.write("dst.txt", std::string(5000, 'x') + "\nold tail\n"); }},
                "new\n"),
    with_source({.name = "arguments_after_the_second_are_ignored", .outcome = Outcome::copied,
                 .args = {"src.txt", "dst.txt", "third.txt", "--help"}},
                "content\n"),
    // Windows programs expand wildcards themselves; POSIX shells do it for
    // them, so there the pattern would name no file.
    with_source({.name = "wildcard_naming_one_file_is_expanded", .outcome = Outcome::copied,
                 .source_name = "input.txt",
                 .args = {"in*.txt", "dst.txt"},
                 .legs = Legs::windows,
                 .why_not_elsewhere = "a POSIX shell expands wildcards before the program starts"},
                "found by its pattern\n"),

    {.name = "no_arguments", .outcome = Outcome::source_refused, .args = {}},
    with_source({.name = "one_argument", .outcome = Outcome::source_refused, .args = {"src.txt"}}, "content\n"),
    {.name = "missing_source", .outcome = Outcome::source_refused},
    with_source({.name = "immutable_source", .outcome = Outcome::source_refused,
                 .setup = [](Scratch &s) { s.make_immutable("src.txt"); }},
                "content\n"),
    with_source({.name = "read_only_source_of_an_ordinary_user", .outcome = Outcome::source_refused,
                 .setup =
                     [](Scratch &s) {
                         give_to_nobody(s.dir());
                         give_to_nobody(s.path("src.txt"));
                         chmod(s.path("src.txt").c_str(), 0444);
                     },
                 .options = {.unprivileged = true},
                 .legs = Legs::posix,
                 .why_not_elsewhere = "Wine's prefix belongs to root"},
                "content\n"),
    {.name = "source_is_a_directory", .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { fs::create_directory(s.path("src.txt")); }},
    {.name = "source_is_a_fifo", .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { ASSERT_EQ(mkfifo(s.path("src.txt").c_str(), 0644), 0); },
     },
    {.name = "source_is_a_terminal", .outcome = Outcome::source_refused,
     .setup =
         [](Scratch &s) {
             int master = posix_openpt(O_RDWR | O_NOCTTY);
             ASSERT_GE(master, 0);
             ASSERT_EQ(grantpt(master), 0);
             ASSERT_EQ(unlockpt(master), 0);
             s.keep_open(master);
             fs::create_symlink(ptsname(master), s.path("src.txt"));
         },
     },
    {.name = "source_too_large_for_memory", .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { sparse(s, "src.txt", off_t{8} << 40); }},
    {.name = "allocation_fails_under_a_memory_limit", .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { sparse(s, "src.txt", off_t{256} << 20); },
     .options = {.memory_limit = size_t{64} << 20},
     .legs = Legs::posix,
     .why_not_elsewhere = "Wine needs more address space than a cap that shows this"},
    {.name = "source_of_3_gib_in_a_32_bit_process", .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { sparse(s, "src.txt", off_t{3} << 30); },
     .legs = Legs::windows32,
     .why_not_elsewhere = "a 64-bit process can hold it"},
    {.name = "source_of_5_gib_past_32_bit_sizes", .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { sparse(s, "src.txt", off_t{5} << 30); },
     .legs = Legs::windows32,
     .why_not_elsewhere = "a 64-bit process can hold it"},

    with_source({.name = "destination_is_a_directory", .outcome = Outcome::destination_refused,
                 .setup = [](Scratch &s) { fs::create_directory(s.path("dst.txt")); }},
                "content\n"),
    with_source({.name = "destination_in_a_missing_folder", .outcome = Outcome::destination_refused,
                 .args = {"src.txt", "missing/dst.txt"}},
                "content\n"),
    with_source({.name = "immutable_destination", .outcome = Outcome::destination_refused,
                 .setup =
                     [](Scratch &s) {
                         s.write("dst.txt", "keep me\n");
                         s.make_immutable("dst.txt");
                     }},
                "content\n"),
    with_source({.name = "destination_in_an_immutable_folder", .outcome = Outcome::destination_refused,
                 .setup =
                     [](Scratch &s) {
                         fs::create_directory(s.path("locked"));
                         s.make_immutable("locked");
                     },
                 .args = {"src.txt", "locked/dst.txt"}},
                "content\n"),
    // A source with a NUL would lose everything after it if the copy ran.
    with_source({.name = "destination_is_the_source", .outcome = Outcome::destination_refused, .args = {"src.txt", "src.txt"}},
                "keep\0all of this\n"),
    with_source({.name = "destination_is_the_source_by_another_path", .outcome = Outcome::destination_refused,
                 .setup = [](Scratch &s) { fs::create_directory(s.path("sub")); },
                 .args = {"src.txt", "sub/../src.txt"}},
                "keep\0all of this\n"),
    with_source({.name = "destination_is_a_hard_link_to_the_source", .outcome = Outcome::destination_refused,
                 .setup = [](Scratch &s) { fs::create_hard_link(s.path("src.txt"), s.path("dst.txt")); }},
                "keep\0all of this\n"),
    with_source({.name = "destination_is_a_symbolic_link_to_the_source", .outcome = Outcome::destination_refused,
                 .setup = [](Scratch &s) { fs::create_symlink("src.txt", s.path("dst.txt")); }},
                "keep\0all of this\n"),
    with_source({.name = "destination_is_a_fifo", .outcome = Outcome::destination_refused,
                 .setup = [](Scratch &s) { ASSERT_EQ(mkfifo(s.path("dst.txt").c_str(), 0644), 0); },
                 },
                "content\n"),

    with_source({.name = "destination_device_is_full", .outcome = Outcome::write_failed, .args = {"src.txt", "/dev/full"}},
                "content\n"),

    with_source({.name = "standard_output_appends_to_the_source", .outcome = Outcome::silent,
                 .options = {.stdout_append = "src.txt"},
                 .legs = Legs::posix,
                 .why_not_elsewhere = "Wine cannot tell a Windows program what file its standard output is"},
                "content\n"),
    with_source({.name = "standard_output_closed_so_the_source_would_take_its_place", .outcome = Outcome::silent,
                 .options = {.close_stdout = true},
                 .legs = Legs::posix,
                 .why_not_elsewhere = "the Windows runtime never hands out descriptor 1 again"},
                "content\n"),
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

class Table : public testing::TestWithParam<Case> {};

bool applies(Legs legs, const Program &program)
{
    switch (legs) {
    case Legs::all: return true;
    case Legs::posix: return !program.mode.windows;
    case Legs::windows: return program.mode.windows;
    case Legs::windows32: return program.mode.windows && program.address_bits == 32;
    }
    return false;
}

TEST_P(Table, Case)
{
    const Case &c = GetParam();
    const Program &program = Program::get();
    if (!applies(c.legs, program))
        GTEST_SKIP() << "not on this platform: " << c.why_not_elsewhere;
    if (c.options.memory_limit != 0 && program.memcheck)
        GTEST_SKIP() << "valgrind keeps its own memory";

    Scratch scratch;
    std::string source(c.source ? c.source : "", c.source_size);
    if (c.source)
        scratch.write(c.source_name, source);
    if (c.setup)
        c.setup(scratch);
    if (HasFatalFailure())
        return;
    auto before = snapshot(scratch.dir());

    RunOptions options = c.options;
    if (!options.stdout_append.empty())
        options.stdout_append = scratch.path(options.stdout_append);
    // Long enough for Wine or valgrind to start; a run that blocks (on a
    // FIFO, a terminal) is cut off and fails.
    options.timeout_seconds = program.runner.empty() ? 20 : 120;
    RunResult result = run(scratch.dir(), c.args, options);

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");

    const TextMode &mode = program.mode;
    std::string content = mode.read(source, source.size());
    std::string expected;
    switch (c.outcome) {
    case Outcome::copied: {
        Copy copy = expected_copy(mode, source);
        expected = copy.transcript;
        std::string destination;
        ASSERT_TRUE(read_file(scratch.path("dst.txt"), destination));
        EXPECT_EQ(destination, copy.destination);
        break;
    }
    case Outcome::source_refused: expected = mode.print(msg::open_failed + "\n"); break;
    case Outcome::destination_refused:
        expected = mode.print(msg::opened + "\n" + content + "\n" + msg::open_failed + "\n");
        break;
    case Outcome::write_failed:
        expected = mode.print(msg::opened + "\n" + content + "\n" + msg::write_failed + "\n");
        break;
    case Outcome::silent: break;
    }
    EXPECT_EQ(result.out, expected);

    // Nothing but a copied destination may differ from before the run.
    auto after = snapshot(scratch.dir());
    if (c.outcome == Outcome::copied) {
        before.erase("dst.txt");
        after.erase("dst.txt");
    }
    EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(, Table, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// The expected messages above are bytes from a table; this reads them as
// Chinese, so a slip in a hex pair shows up as the wrong words.
TEST(Messages, DecodeToTheirChineseText)
{
    const std::pair<std::string, std::string> messages[] = {
        {msg::open_failed, "文件打开失败，请重试！"},
        {msg::opened, "文件打开成功"},
        {msg::written, "文件写入成功\n"},
        {msg::write_failed, "文件写入失败，请重试！"},
        {msg::original, "原文件的内容为："},
        {msg::fresh, "新文件的内容为："},
        {msg::copied, "恭喜您，文件复制成功！"},
    };
    iconv_t gbk = iconv_open("UTF-8", "GBK");
    ASSERT_NE(gbk, reinterpret_cast<iconv_t>(-1));
    for (const auto &[bytes, words] : messages) {
        std::string in = bytes, out(bytes.size() * 3, '\0');
        char *from = in.data(), *to = out.data();
        size_t from_left = in.size(), to_left = out.size();
        ASSERT_NE(iconv(gbk, &from, &from_left, &to, &to_left), static_cast<size_t>(-1)) << words;
        out.resize(out.size() - to_left);
        EXPECT_EQ(out, words);
    }
    iconv_close(gbk);
}

}  // namespace
}  // namespace textcopy_test

namespace textcopy_test {
namespace {

// Past 2 GiB an int no longer counts the output, as printf's does; the content
// must still come out whole, three times over, and land whole on disk.
TEST(LargeContent, PastTwoGibIsShownAndCopiedExactly)
{
    const Program &program = Program::get();
    if (program.mode.windows || program.memcheck)
        GTEST_SKIP() << "a 64-bit POSIX build shows this; Wine and valgrind would take minutes";
    Scratch scratch;
    const uint64_t size = (uint64_t{2} << 30) + 4099;
    struct statvfs room;
    ASSERT_EQ(statvfs(scratch.dir().c_str(), &room), 0);
    if (uint64_t{room.f_bavail} * room.f_frsize < 3 * size)
        GTEST_SKIP() << "not enough free disk for a source and a copy of " << size << " bytes";

    // A line of 64 bytes repeated; any byte out of place breaks the period.
    const std::string line = "The quick brown fox jumps over the lazy dog, 0123456789 ABCDEF.\n";
    std::string block;
    while (block.size() < (1 << 20) + line.size())
        block += line;
    {
        std::ofstream out(scratch.path("src.txt"), std::ios::binary);
        for (uint64_t left = size; left > 0;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, 1 << 20));
            out.write(block.data(), static_cast<std::streamsize>(n));
            left -= n;
        }
        ASSERT_TRUE(out.good());
    }

    // What standard output must hold, as literal pieces and pieces of content.
    struct Piece {
        std::string text;
        uint64_t content;  // bytes of content, when text is empty
    };
    const std::vector<Piece> pieces = {
        {msg::opened + "\n", 0}, {"", size}, {"\n" + msg::written + "\n" + msg::original, 0},
        {"", size}, {"\n\n\n" + msg::fresh, 0}, {"", size}, {"\n" + msg::copied + "\n", 0},
    };
    size_t piece = 0;
    uint64_t offset = 0, seen = 0;
    bool same = true;
    auto compare = [&](const char *data, size_t n) {
        seen += n;
        while (n > 0 && same) {
            if (piece == pieces.size()) {
                same = false;
                break;
            }
            const Piece &p = pieces[piece];
            uint64_t length = p.text.empty() ? p.content : p.text.size();
            size_t take = static_cast<size_t>(std::min<uint64_t>({n, length - offset, 1 << 20}));
            const char *want = p.text.empty() ? block.data() + offset % line.size() : p.text.data() + offset;
            same = std::memcmp(data, want, take) == 0;
            data += take;
            n -= take;
            offset += take;
            if (offset == length) {
                ++piece;
                offset = 0;
            }
        }
    };
    RunResult result = run(scratch.dir(), {"src.txt", "dst.txt"}, {.timeout_seconds = 600, .stdout_sink = compare});

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(same && piece == pieces.size()) << "standard output differs near byte " << seen;
    EXPECT_EQ(seen, 3 * size + pieces[0].text.size() + pieces[2].text.size() + pieces[4].text.size()
                        + pieces[6].text.size());
    EXPECT_EQ(fs::file_size(scratch.path("dst.txt")), size);
    std::ifstream copy(scratch.path("dst.txt"), std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (uint64_t done = 0; done < size && same;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size()));
        copy.read(chunk.data(), static_cast<std::streamsize>(n));
        same = copy.good() && std::memcmp(chunk.data(), block.data() + done % line.size(), n) == 0;
        done += n;
    }
    EXPECT_TRUE(same) << "the copy differs from the source";
}

}  // namespace
}  // namespace textcopy_test
