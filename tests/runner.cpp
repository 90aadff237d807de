#include "runner.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace textcopy_test {

namespace {

// Throws, and so fails the case, when a step of its setup failed.
void check(bool done, const std::string &what)
{
    if (!done)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<std::string> words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> all;
    for (std::string word; in >> word;)
        all.push_back(word);
    return all;
}

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

constexpr uid_t nobody = 65534;

}  // namespace

// What the build told the tests about the program.
const Program &Program::get()
{
    static const Program program = [] {
        Program p;
        p.exe = TEXTCOPY_EXE;
        p.runner = words(TEXTCOPY_RUNNER);
        p.mode.windows = TEXTCOPY_WINDOWS_BITS != 0;
        p.leg = TEXTCOPY_WINDOWS_BITS == 32 ? win32
            : TEXTCOPY_WINDOWS_BITS == 64   ? win64
            : TEXTCOPY_MEMCHECK             ? memcheck
                                            : native;
        p.sanitized = TEXTCOPY_SANITIZED;
        return p;
    }();
    return program;
}

namespace {

[[noreturn]] void child(const Program &program, const std::string &dir, const std::vector<std::string> &command,
                        const RunOptions &options, int out_fd, int err_fd)
{
    if (chdir(dir.c_str()) != 0)
        _exit(126);
    if (options.close_stdin)
        close(0);
    else
        dup2(open("/dev/null", O_RDONLY), 0);
    dup2(err_fd, 2);
    switch (options.out) {
    case Stdout::closed: close(1); break;
    case Stdout::file:
    case Stdout::appended: {
        int flags = O_WRONLY | O_CREAT | (options.out == Stdout::file ? O_TRUNC : O_APPEND);
        int fd = open(options.out_file.c_str(), flags, 0644);
        if (fd < 0)
            _exit(126);
        dup2(fd, 1);
        break;
    }
    case Stdout::captured:
    case Stdout::reader_gone: dup2(out_fd, 1); break;
    }
    if (program.sanitized) {
        // A failed allocation is an answer the program handles, not a crash.
        std::string asan = "allocator_may_return_null=1";
        asan += options.leak_check ? ":detect_leaks=1" : ":detect_leaks=0";
        // The sanitizer maps far more than any address-space cap allows, so
        // its own allocation cap stands in for one.
        if (options.memory_limit != 0)
            asan += ":max_allocation_size_mb=" + std::to_string(options.memory_limit >> 20);
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
        setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1", 1);
    }
    // Only the three standard descriptors pass, whatever started the tests.
    close_range(3, ~0U, 0);
    setpgid(0, 0);
    std::vector<char *> argv;
    for (auto &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

RunResult run(const Scratch &scratch, const std::vector<std::string> &args, const RunOptions &options,
              const Program &program)
{
    std::vector<std::string> command;
    for (const std::string &word : options.prefix)
        command.push_back(std::regex_replace(word, std::regex("\\{dir\\}"), scratch.dir()));
    std::string exe = program.exe;
    std::unique_ptr<Scratch> copy;
    if (options.memory_limit != 0 && !program.sanitized)
        command.insert(command.end(), {"prlimit", "--as=" + std::to_string(options.memory_limit), "--"});
    if (options.as_nobody) {
        // An ordinary user may not reach the build folder, so it runs a copy.
        copy = std::make_unique<Scratch>();
        check(chmod(copy->dir().c_str(), 0755) == 0, "chmod " + copy->dir());
        std::filesystem::copy_file(exe, copy->path("textcopy"));
        exe = copy->path("textcopy");
        command.insert(command.end(),
                       {"setpriv", "--reuid=" + std::to_string(nobody), "--regid=" + std::to_string(nobody),
                        "--clear-groups", "--"});
    }
    command.insert(command.end(), program.runner.begin(), program.runner.end());
    command.push_back(exe);
    command.insert(command.end(), args.begin(), args.end());

    RunOptions resolved = options;
    resolved.out_file = scratch.path(options.out_file);
    int out_pipe[2], err_pipe[2];
    check(pipe2(out_pipe, O_CLOEXEC) == 0 && pipe2(err_pipe, O_CLOEXEC) == 0, "pipe");
    if (options.out == Stdout::reader_gone) {
        close(out_pipe[0]);
        out_pipe[0] = -1;
    }
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0)
        child(program, scratch.dir(), command, resolved, out_pipe[1], err_pipe[1]);
    setpgid(pid, pid);
    std::thread beside;
    if (options.meanwhile)
        beside = std::thread(options.meanwhile, scratch.dir());
    if (out_pipe[0] >= 0)
        fcntl(out_pipe[0], F_SETPIPE_SZ, 1 << 20);  // fewer, larger reads of a long transcript
    close(out_pipe[1]);
    close(err_pipe[1]);

    RunResult result;
    // Long enough for Wine or valgrind to start; a run that blocks (on a
    // FIFO, a terminal) is cut off and fails.
    int timeout = options.timeout_seconds != 0 ? options.timeout_seconds : program.runner.empty() ? 20 : 120;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::vector<char> chunk(1 << 20);
    int status = 0;
    bool exited = false;
    // Reads until both pipes close, or until the program has exited and its
    // output is drained: a helper it started (Wine's services) may hold a
    // pipe open long after.
    for (int open_fds = out_pipe[0] >= 0 ? 2 : 1; open_fds > 0;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
    if (program.sanitized) {
        // The sanitizer's note on an allocation it refused is all it may say.
        static const std::regex refused("==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n");
        result.err = std::regex_replace(result.err, refused, "");
    }
    if (!exited)
        waitpid(pid, &status, 0);
    if (beside.joinable())
        beside.join();
    if (!result.timed_out && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

Scratch::Scratch()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/textcopy-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
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

void Scratch::write(const std::string &name, std::string_view bytes) const
{
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    check(out.good(), "write " + path(name));
}

void Scratch::mkdir(const std::string &name) const
{
    check(::mkdir(path(name).c_str(), 0755) == 0, "mkdir " + name);
}

void Scratch::mkfifo(const std::string &name) const
{
    check(::mkfifo(path(name).c_str(), 0644) == 0, "mkfifo " + name);
}

void Scratch::symlink(const std::string &target, const std::string &name) const
{
    check(::symlink(target.c_str(), path(name).c_str()) == 0, "symlink " + name);
}

void Scratch::hard_link(const std::string &existing, const std::string &name) const
{
    check(link(path(existing).c_str(), path(name).c_str()) == 0, "link " + name);
}

void Scratch::sparse(const std::string &name, off_t size) const
{
    write(name, "");
    check(truncate(path(name).c_str(), size) == 0, "truncate " + name);
}

void Scratch::give_to_nobody(const std::string &name, mode_t mode) const
{
    std::string where = path(name);
    check(chown(where.c_str(), nobody, nobody) == 0 && chmod(where.c_str(), mode) == 0, "chown " + where);
}

void Scratch::make_immutable(const std::string &name)
{
    check(set_immutable(path(name), true), "chattr +i " + path(name));
    immutable_.push_back(path(name));
}

void Scratch::terminal(const std::string &name)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    check(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0, "a new terminal");
    open_.push_back(master);
    symlink(ptsname(master), name);
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
