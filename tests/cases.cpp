// The table of black-box cases. Each row makes its files in a fresh scratch
// folder, runs the real program, and checks its standard output byte for
// byte against the transcript its outcome calls for, the bytes of every file
// the run may write, that standard error stayed empty, that the exit status
// is 0, and that nothing else in the folder changed.
#include "model.h"
#include "runner.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

namespace textcopy_test {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

struct Case {
    const char *name;
    Outcome outcome;
    // The source's bytes, written to source_name before the setup runs; a
    // row without them has no such file.
    std::optional<std::string_view> source;
    const char *source_name = "src.txt";
    std::function<void(Scratch &)> setup;
    std::vector<std::string> args = {"src.txt", "dst.txt"};
    RunOptions options;
    // What dst.txt must hold afterwards, where the outcome alone cannot say.
    std::optional<std::string_view> destination;
    unsigned legs = all_legs;
    const char *why_not_elsewhere = "";
};

// The program runs under strace, which fails or holds one system call on one
// file of the scratch folder, as strace's inject=CALL:HOW says. LeakSanitizer
// cannot work under ptrace, so such a run checks for no leaks.
RunOptions strace(const std::string &file, const std::string &call, const std::string &how)
{
    return {.prefix = {"strace", "-f", "-qq", "-o", "/dev/null", "-P", "{dir}/" + file, "-e", "trace=" + call, "-e",
                       "inject=" + call + ":" + how},
            .leak_check = false};
}

// The program runs under one resource limit, as prlimit's --RESOURCE=LIMIT.
RunOptions limit(const std::string &resource)
{
    return {.prefix = {"prlimit", resource, "--"}};
}

// While the program's opening of dst.txt is held, dst.txt is replaced by a
// hard link to src.txt: the checked file and the emptied one must stay one.
RunOptions destination_swapped_for_the_source_while_it_opens()
{
    RunOptions options = strace("dst.txt", "openat", "delay_exit=1000000:when=1");
    // The program opens it by the name it was given.
    options.prefix.insert(options.prefix.begin() + 1, {"-P", "dst.txt"});
    options.meanwhile = [](const std::string &dir) {
        auto give_up = std::chrono::steady_clock::now() + 20s;
        while (!fs::exists(dir + "/dst.txt") && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(1ms);
        fs::create_hard_link(dir + "/src.txt", dir + "/swap");
        fs::rename(dir + "/swap", dir + "/dst.txt");
    };
    return options;
}

// Sources a row refers to again in what it expects.
constexpr std::string_view kept_whole = "keep\0all of this\n"sv;
const std::string five_thousand_bytes(5000, 'x');

const std::vector<Case> cases = {
    {.name = "plain_text_with_lf_line_ends", .outcome = Outcome::copied, .source = "Hello, textcopy.\nSecond line\n"},
    {.name = "empty_source", .outcome = Outcome::copied, .source = ""},
    {.name = "nul_byte_ends_the_copy", .outcome = Outcome::copied, .source = "before\0after\n"sv},
    {.name = "no_line_feed_at_the_end", .outcome = Outcome::copied, .source = "no line feed at the end"},
    {.name = "crlf_line_ends", .outcome = Outcome::copied, .source = "one\r\ntwo\r\n"},
    {.name = "lone_and_doubled_carriage_returns", .outcome = Outcome::copied, .source = "a\rb\r\r\nc\r"},
    {.name = "ctrl_z_ends_a_windows_read", .outcome = Outcome::copied, .source = "before\x1A after\n"},
    // Opening a text file for update, the Windows runtime cuts a Ctrl-Z from
    // its end; the source must keep it.
    {.name = "source_ending_in_ctrl_z_keeps_it", .outcome = Outcome::copied, .source = "last byte\x1A"},
    {.name = "percent_signs_are_shown_literally", .outcome = Outcome::copied, .source = "100% %s %d %n %%\n"},
    {.name = "bytes_outside_ascii_pass_unchanged",
     .outcome = Outcome::copied,
     .source = "\xD6\xD0\xCE\xC4 \xE4\xB8\xAD\xE6\x96\x87 \x80\xFF\xA3\xAC\n"},
    {.name = "longer_existing_destination_is_emptied",
     .outcome = Outcome::copied,
     .source = "new\n",
     .setup = [](Scratch &s) { s.write("dst.txt", std::string(5000, 'x') + "\nold tail\n"); }},
    {.name = "arguments_after_the_second_are_ignored",
     .outcome = Outcome::copied,
     .source = "content\n",
     .args = {"src.txt", "dst.txt", "third.txt", "--help"}},
    {.name = "wildcard_naming_one_file_is_expanded",
     .outcome = Outcome::copied,
     .source = "found by its pattern\n",
     .source_name = "input.txt",
     .args = {"in*.txt", "dst.txt"},
     .legs = windows,
     .why_not_elsewhere = "a POSIX shell expands wildcards before the program starts"},
    {.name = "standard_output_reader_gone",
     .outcome = Outcome::copied,
     .source = "the copy goes on\n",
     .options = {.out = Stdout::reader_gone}},
    {.name = "descriptor_limit_leaves_room_for_the_two_files",
     .outcome = Outcome::copied,
     .source = "content\n",
     .options = limit("--nofile=5"),
     .legs = native,
     .why_not_elsewhere = "valgrind and Wine need descriptors of their own"},
    {.name = "destination_swapped_for_the_source_while_it_opens",
     .outcome = Outcome::copied,
     .source = kept_whole,
     .options = destination_swapped_for_the_source_while_it_opens(),
     .destination = kept_whole,
     .legs = posix,
     .why_not_elsewhere = "Wine's server opens files, out of strace's reach"},

    {.name = "no_arguments", .outcome = Outcome::source_refused, .args = {}},
    {.name = "one_argument", .outcome = Outcome::source_refused, .source = "content\n", .args = {"src.txt"}},
    {.name = "missing_source", .outcome = Outcome::source_refused},
    {.name = "immutable_source",
     .outcome = Outcome::source_refused,
     .source = "content\n",
     .setup = [](Scratch &s) { s.make_immutable("src.txt"); }},
    {.name = "read_only_source_of_an_ordinary_user",
     .outcome = Outcome::source_refused,
     .source = "content\n",
     .setup =
         [](Scratch &s) {
             s.give_to_nobody(".", 0755);
             s.give_to_nobody("src.txt", 0444);
         },
     .options = {.as_nobody = true},
     .legs = posix,
     .why_not_elsewhere = "Wine's prefix belongs to root"},
    {.name = "source_is_a_directory",
     .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { s.mkdir("src.txt"); }},
    {.name = "source_is_a_fifo", .outcome = Outcome::source_refused, .setup = [](Scratch &s) { s.mkfifo("src.txt"); }},
    {.name = "source_is_a_terminal",
     .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { s.terminal("src.txt"); }},
    {.name = "source_too_large_for_memory",
     .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { s.sparse("src.txt", off_t{8} << 40); }},
    {.name = "allocation_fails_under_a_memory_limit",
     .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { s.sparse("src.txt", off_t{256} << 20); },
     .options = {.memory_limit = size_t{64} << 20},
     .legs = native,
     .why_not_elsewhere = "valgrind keeps its own memory, and Wine needs more than a cap that shows this"},
    {.name = "source_of_3_gib_in_a_32_bit_process",
     .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { s.sparse("src.txt", off_t{3} << 30); },
     .legs = win32,
     .why_not_elsewhere = "a 64-bit process can hold it"},
    {.name = "source_of_5_gib_past_32_bit_sizes",
     .outcome = Outcome::source_refused,
     .setup = [](Scratch &s) { s.sparse("src.txt", off_t{5} << 30); },
     .legs = win32,
     .why_not_elsewhere = "a 64-bit process can hold it"},
    // Windows would fit the name to the code page and open src.txt.
    {.name = "source_name_outside_the_code_page",
     .outcome = Outcome::source_refused,
     .source = "content\n",
     .args = {"\u015Drc.txt", "dst.txt"},
     .legs = windows,
     .why_not_elsewhere = "POSIX hands the program its arguments as bytes"},

    {.name = "every_read_of_the_source_fails",
     .outcome = Outcome::first_read_failed,
     .source = "content\n",
     .options = strace("src.txt", "read", "error=EIO")},

    {.name = "destination_is_a_directory",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup = [](Scratch &s) { s.mkdir("dst.txt"); }},
    {.name = "destination_in_a_missing_folder",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .args = {"src.txt", "missing/dst.txt"}},
    {.name = "immutable_destination",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup =
         [](Scratch &s) {
             s.write("dst.txt", "keep me\n");
             s.make_immutable("dst.txt");
         }},
    {.name = "destination_in_an_immutable_folder",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup =
         [](Scratch &s) {
             s.mkdir("locked");
             s.make_immutable("locked");
         },
     .args = {"src.txt", "locked/dst.txt"}},
    // A source with a NUL would lose everything after it if the copy ran.
    {.name = "destination_is_the_source",
     .outcome = Outcome::destination_refused,
     .source = kept_whole,
     .args = {"src.txt", "src.txt"}},
    {.name = "destination_is_the_source_by_another_path",
     .outcome = Outcome::destination_refused,
     .source = kept_whole,
     .setup = [](Scratch &s) { s.mkdir("sub"); },
     .args = {"src.txt", "sub/../src.txt"}},
    {.name = "destination_is_a_hard_link_to_the_source",
     .outcome = Outcome::destination_refused,
     .source = kept_whole,
     .setup = [](Scratch &s) { s.hard_link("src.txt", "dst.txt"); }},
    {.name = "destination_is_a_symbolic_link_to_the_source",
     .outcome = Outcome::destination_refused,
     .source = kept_whole,
     .setup = [](Scratch &s) { s.symlink("src.txt", "dst.txt"); }},
    {.name = "destination_is_a_fifo",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup = [](Scratch &s) { s.mkfifo("dst.txt"); }},
    // The file holds the transcript the user sent there, not a copy that
    // the transcript then runs over.
    {.name = "standard_output_is_the_destination",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .options = {.out = Stdout::file, .out_file = "dst.txt"},
     .legs = posix,
     .why_not_elsewhere = "Wine cannot tell a Windows program what file its standard output is"},
    {.name = "standard_output_appends_to_the_destination",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup = [](Scratch &s) { s.write("dst.txt", "earlier\n"); },
     .options = {.out = Stdout::appended, .out_file = "dst.txt"},
     .legs = posix,
     .why_not_elsewhere = "Wine cannot tell a Windows program what file its standard output is"},
    {.name = "standard_input_and_output_closed_so_the_destination_would_take_their_place",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup = [](Scratch &s) { s.write("dst.txt", "keep me\n"); },
     .options = {.out = Stdout::closed, .close_stdin = true},
     .legs = posix,
     .why_not_elsewhere = "the Windows runtime never hands out descriptor 1 again"},
    // Windows would fit "ĉ" to "c", and the full-width backslashes to real
    // ones, and so overwrite a file the user never named.
    {.name = "destination_name_outside_the_code_page",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup = [](Scratch &s) { s.write("c.txt", "keep me\n"); },
     .args = {"src.txt", "\u0109.txt"},
     .legs = windows,
     .why_not_elsewhere = "POSIX hands the program its arguments as bytes"},
    {.name = "destination_name_with_full_width_backslashes",
     .outcome = Outcome::destination_refused,
     .source = "content\n",
     .setup =
         [](Scratch &s) {
             s.mkdir("sub");
             s.write("x.txt", "keep me\n");
         },
     .args = {"src.txt", "sub\uFF3C..\uFF3Cx.txt"},
     .legs = windows,
     .why_not_elsewhere = "POSIX hands the program its arguments as bytes"},

    {.name = "destination_device_is_full",
     .outcome = Outcome::write_failed,
     .source = "content\n",
     .args = {"src.txt", "/dev/full"}},
    {.name = "destination_over_the_file_size_limit",
     .outcome = Outcome::write_failed,
     .source = five_thousand_bytes,
     .options = limit("--fsize=1000"),
     .destination = std::string_view(five_thousand_bytes).substr(0, 1000),
     .legs = posix,
     .why_not_elsewhere = "Windows has no such limit, and Wine itself dies of it"},

    // Read again from the file, the source must show what the file gives
    // now, not what a stream buffer kept of the first read.
    {.name = "source_fails_on_its_second_read",
     .outcome = Outcome::second_read_failed,
     .source = "content\n",
     .options = strace("src.txt", "read", "error=EIO:when=2+")},
    {.name = "destination_fails_when_read_back",
     .outcome = Outcome::read_back_failed,
     .source = "content\n",
     .options = strace("dst.txt", "read", "error=EIO")},
    // Network file systems may report a failed write only at the close.
    {.name = "destination_fails_when_closed",
     .outcome = Outcome::close_failed,
     .source = "content\n",
     .options = strace("dst.txt", "close", "error=EIO"),
     .legs = posix,
     .why_not_elsewhere = "Wine's server, out of strace's reach, closes the file"},

    {.name = "standard_output_appends_to_the_source",
     .outcome = Outcome::silent,
     .source = "content\n",
     .options = {.out = Stdout::appended, .out_file = "src.txt"},
     .legs = posix,
     .why_not_elsewhere = "Wine cannot tell a Windows program what file its standard output is"},
    {.name = "standard_output_closed_so_the_source_would_take_its_place",
     .outcome = Outcome::silent,
     .source = "content\n",
     .options = {.out = Stdout::closed},
     .legs = posix,
     .why_not_elsewhere = "the Windows runtime never hands out descriptor 1 again"},
};

// Everything under the scratch folder, so a case can tell that nothing it
// did not expect was created, removed or changed.
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

void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.name;
}

class Table : public testing::TestWithParam<Case> {};

TEST_P(Table, Case)
{
    const Case &c = GetParam();
    const Program &program = Program::get();
    if ((c.legs & program.leg) == 0)
        GTEST_SKIP() << "not on this leg: " << c.why_not_elsewhere;

    Scratch scratch;
    if (c.source)
        scratch.write(c.source_name, *c.source);
    if (c.setup)
        c.setup(scratch);
    auto before = snapshot(scratch.dir());
    const bool out_to_file = c.options.out == Stdout::file || c.options.out == Stdout::appended;
    std::string out_file_before;
    if (c.options.out == Stdout::appended)
        read_file(scratch.path(c.options.out_file), out_file_before);

    RunResult result = run(scratch, c.args, c.options);

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    Expected want = expected(program.mode, c.source.value_or(""), c.outcome);
    EXPECT_EQ(result.out, c.options.out == Stdout::captured ? want.transcript : "");

    // The files the run may write must hold just what is expected, and
    // nothing else may differ from before the run.
    std::map<std::string, std::string> written;
    if (out_to_file)
        written[c.options.out_file] = out_file_before + want.transcript;
    if (c.destination)
        written["dst.txt"] = *c.destination;
    else if (want.writes_destination)
        written["dst.txt"] = want.destination;
    auto after = snapshot(scratch.dir());
    for (const auto &[name, bytes] : written) {
        std::string got;
        EXPECT_TRUE(read_file(scratch.path(name), got)) << name << " is missing";
        EXPECT_EQ(got, bytes) << "in " << name;
        before.erase(name);
        after.erase(name);
    }
    EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(, Table, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// The expected messages above are bytes from a table; this reads them as
// Chinese, so a slip in a hex pair shows up as the wrong words.
TEST(Messages, DecodeToTheirChineseText)
{
    // clang-format off
    const std::pair<std::string, std::string> messages[] = {
        {msg::open_failed, "文件打开失败，请重试！"},
        {msg::opened, "文件打开成功"},
        {msg::read_failed, "文件读取失败，请重试！"},
        {msg::written, "文件写入成功\n"},
        {msg::write_failed, "文件写入失败，请重试！"},
        {msg::original_caption, "原文件的内容为："},
        {msg::new_caption, "新文件的内容为："},
        {msg::copied, "恭喜您，文件复制成功！"},
    };
    // clang-format on
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
