#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace textcopy_test {

std::string hex(const char *pairs)
{
    std::string bytes;
    std::istringstream in(pairs);
    unsigned value;
    while (in >> std::hex >> value)
        bytes += static_cast<char>(value);
    return bytes;
}

namespace msg {
const std::string open_failed = hex("CE C4 BC FE B4 F2 BF AA CA A7 B0 DC A3 AC C7 EB D6 D8 CA D4 A3 A1");
const std::string opened = hex("CE C4 BC FE B4 F2 BF AA B3 C9 B9 A6");
const std::string written = hex("CE C4 BC FE D0 B4 C8 EB B3 C9 B9 A6 0A");
const std::string write_failed = hex("CE C4 BC FE D0 B4 C8 EB CA A7 B0 DC A3 AC C7 EB D6 D8 CA D4 A3 A1");
const std::string original = hex("D4 AD CE C4 BC FE B5 C4 C4 DA C8 DD CE AA A3 BA");
const std::string fresh = hex("D0 C2 CE C4 BC FE B5 C4 C4 DA C8 DD CE AA A3 BA");
const std::string copied = hex("B9 A7 CF B2 C4 FA A3 AC CE C4 BC FE B8 B4 D6 C6 B3 C9 B9 A6 A3 A1");
}  // namespace msg

std::string TextMode::read(const std::string &raw, size_t cap) const
{
    std::string text;
    for (size_t i = 0; i < raw.size() && text.size() < cap; ++i) {
        char c = raw[i];
        if (windows && c == '\x1A')
            break;
        if (windows && c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            c = raw[++i];
        text += c;
    }
    return text.substr(0, text.find('\0'));
}

std::string TextMode::write(const std::string &text) const
{
    if (!windows)
        return text;
    std::string raw;
    for (char c : text) {
        if (c == '\n')
            raw += '\r';
        raw += c;
    }
    return raw;
}

std::string TextMode::print(const std::string &text) const { return write(text); }

Copy expected_copy(const TextMode &mode, const std::string &source)
{
    // Each read is capped at the source's size; the source is read twice and
    // the destination read back.
    std::string content = mode.read(source, source.size());
    std::string on_disk = mode.write(content);
    std::string back = mode.read(on_disk, source.size());
    return {mode.print(msg::opened + "\n" + content + "\n" + msg::written + "\n" + msg::original + content
                       + "\n\n\n" + msg::fresh + back + "\n" + msg::copied + "\n"),
            on_disk};
}

// What the build told the tests about the program; TEXTCOPY_RUNNER in the
// environment can put another runner in front of it, such as valgrind.
const Program &Program::get()
{
    static const Program program = [] {
        Program p;
        p.exe = TEXTCOPY_EXE;
        const char *runner = std::getenv("TEXTCOPY_RUNNER");
        std::istringstream words(runner ? runner : TEXTCOPY_RUNNER);
        for (std::string word; words >> word;)
            p.runner.push_back(word);
        p.mode.windows = TEXTCOPY_WINDOWS;
        p.address_bits = TEXTCOPY_ADDRESS_BITS;
        p.sanitized = TEXTCOPY_SANITIZED;
        p.memcheck = !p.runner.empty() && p.runner[0].find("valgrind") != std::string::npos;
        return p;
    }();
    return program;
}

namespace {

[[noreturn]] void child(const std::string &dir, const std::string &exe, const std::vector<std::string> &args,
                        const RunOptions &options, int out_fd, int err_fd)
{
    const Program &program = Program::get();
    if (chdir(dir.c_str()) != 0)
        _exit(126);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(err_fd, 2);
    if (options.close_stdout) {
        close(1);
    } else if (!options.stdout_append.empty()) {
        int fd = open(options.stdout_append.c_str(), O_WRONLY | O_APPEND);
        if (fd < 0)
            _exit(126);
        dup2(fd, 1);
    } else {
        dup2(out_fd, 1);
    }
    if (program.sanitized) {
        // A failed allocation is an answer the program handles, not a crash.
        std::string asan = "allocator_may_return_null=1:detect_leaks=1";
        // The sanitizer maps far more than any address-space cap allows, so
        // its own allocation cap stands in for one.
        if (options.memory_limit != 0)
            asan += ":max_allocation_size_mb=" + std::to_string(options.memory_limit >> 20);
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
        setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1", 1);
    }
    if (options.memory_limit != 0) {
        if (!program.sanitized) {
            rlimit limit{options.memory_limit, options.memory_limit};
            setrlimit(RLIMIT_AS, &limit);
        }
    }
    if (options.unprivileged) {
        const gid_t nobody_group = 65534;
        const uid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody_group) != 0 || setuid(nobody) != 0)
            _exit(126);
    }
    setpgid(0, 0);

    std::vector<std::string> words = program.runner;
    words.push_back(exe);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

RunResult run(const std::string &dir, const std::vector<std::string> &args,
              const RunOptions &options)
{
    // An ordinary user may not reach the build folder, so it runs a copy.
    std::string exe = Program::get().exe;
    std::unique_ptr<Scratch> copy;
    if (options.unprivileged) {
        copy = std::make_unique<Scratch>();
        chmod(copy->dir().c_str(), 0755);
        std::filesystem::copy_file(exe, copy->path("textcopy"));
        exe = copy->path("textcopy");
    }
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0)
        child(dir, exe, args, options, out_pipe[1], err_pipe[1]);
    setpgid(pid, pid);
    fcntl(out_pipe[0], F_SETPIPE_SZ, 1 << 20);  // fewer, larger reads of a long transcript
    close(out_pipe[1]);
    close(err_pipe[1]);

    RunResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::vector<char> chunk(1 << 20);
    int status = 0;
    bool exited = false;
    // Reads until both pipes close, or until the program has exited and its
    // output is drained: a helper it started (Wine's services) may hold a
    // pipe open long after.
    for (int open_fds = 2; open_fds > 0;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 2, exited ? 0 : static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready == 0 && exited)
            break;
        for (auto &fd : fds) {
            if (fd.fd < 0 || fd.revents == 0)
                continue;
            ssize_t n = ::read(fd.fd, chunk.data(), chunk.size());
            if (n <= 0) {
                close(fd.fd);
                fd.fd = -1;
                --open_fds;
            } else if (fd.fd == out_pipe[0] && options.stdout_sink) {
                options.stdout_sink(chunk.data(), static_cast<size_t>(n));
            } else {
                (fd.fd == out_pipe[0] ? result.out : result.err).append(chunk.data(), static_cast<size_t>(n));
            }
        }
        if (!exited && ready == 0)
            exited = waitpid(pid, &status, WNOHANG) == pid;
    }
    for (auto &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    if (Program::get().sanitized) {
        // The sanitizer's note on an allocation it refused is all it may say.
        static const std::regex refused("==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n");
        result.err = std::regex_replace(result.err, refused, "");
    }
    if (!exited)
        waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

namespace {

bool set_immutable(const std::string &path, bool on)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

}  // namespace

Scratch::Scratch()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/textcopy-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    dir_ = pattern;
}

Scratch::~Scratch()
{
    for (auto &path : immutable_)
        set_immutable(path, false);
    for (int fd : open_)
        close(fd);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void Scratch::write(const std::string &name, const std::string &bytes) const
{
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path(name));
}

void Scratch::make_immutable(const std::string &name)
{
    if (!set_immutable(path(name), true))
        throw std::runtime_error("chattr +i " + path(name) + ": " + std::strerror(errno));
    immutable_.push_back(path(name));
}

bool read_file(const std::string &path, std::string &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    return true;
}

}  // namespace textcopy_test
