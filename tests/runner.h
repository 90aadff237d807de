// How the black-box tests run textcopy: the program under test and the leg
// it belongs to, a scratch folder per case, and one run of the real program
// with its standard output and error captured.
#pragma once

#include "model.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace textcopy_test {

// The builds the tests run against. A leg is one of them with the cases run
// against it; a case names the legs it applies to.
enum Leg : unsigned {
    native = 1,    // the POSIX build, with AddressSanitizer and UndefinedBehaviorSanitizer
    memcheck = 2,  // the POSIX build, run under valgrind's memcheck
    win64 = 4,     // 64-bit Windows, under Wine
    win32 = 8,     // 32-bit Windows on x86, under Wine: the program's own platform
};
constexpr unsigned posix = native | memcheck;
constexpr unsigned windows = win64 | win32;
constexpr unsigned all_legs = posix | windows;

// The program under test, as its build describes it.
struct Program {
    std::string exe;
    std::vector<std::string> runner;  // what starts it: Wine for a Windows build, or valgrind
    Leg leg = native;
    TextMode mode;
    bool sanitized = false;  // built with AddressSanitizer
    static const Program &get();
};

// Where the program's standard output goes.
enum class Stdout {
    captured,     // a pipe the test reads
    closed,       // no descriptor 1 at all
    reader_gone,  // a pipe whose reader closed before the program started
    file,         // a file in the scratch folder, emptied first, as "> FILE"
    appended,     // a file in the scratch folder, as ">> FILE"
};

struct RunOptions {
    // Commands that the program runs under, in front of the leg's own
    // runner: strace, prlimit. "{dir}" in them stands for the scratch folder.
    std::vector<std::string> prefix;
    Stdout out = Stdout::captured;
    std::string out_file;  // for Stdout::file and Stdout::appended
    bool close_stdin = false;
    // Run by an ordinary user rather than by root.
    bool as_nobody = false;
    // LeakSanitizer cannot work while strace holds the process.
    bool leak_check = true;
    // A cap on the address space (0: none), or a sanitizer's allocation cap.
    size_t memory_limit = 0;
    // Runs beside the program, from just after it starts, with the folder.
    std::function<void(const std::string &)> meanwhile;
    // Receives standard output as it arrives; when unset it is collected.
    std::function<void(const char *, size_t)> stdout_sink;
    int timeout_seconds = 0;  // 0: long enough for the leg's runner to start
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // the exit status, or -1 when killed or not exited
    bool timed_out = false;
};

// A fresh folder per case, removed with everything in it afterwards. Each
// way of setting up a file throws when it cannot, and so fails the case.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const std::string &dir() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    void write(const std::string &name, std::string_view bytes) const;
    void mkdir(const std::string &name) const;
    void mkfifo(const std::string &name) const;
    void symlink(const std::string &target, const std::string &name) const;
    void hard_link(const std::string &existing, const std::string &name) const;
    // A file of the given size that takes no room on disk.
    void sparse(const std::string &name, off_t size) const;
    // Owned by nobody, with the given mode ("." names the folder itself).
    void give_to_nobody(const std::string &name, mode_t mode) const;
    // Nobody, root included, may change or remove it (chattr +i).
    void make_immutable(const std::string &name);
    // A symbolic link to a new terminal, kept open while the case runs.
    void terminal(const std::string &name);

private:
    std::string dir_;
    std::vector<std::string> immutable_;
    std::vector<int> open_;
};

// Runs the program with the arguments in the scratch folder.
RunResult run(const Scratch &scratch, const std::vector<std::string> &args, const RunOptions &options = {},
              const Program &program = Program::get());

// The bytes of a file, or nothing and false when it cannot be read.
bool read_file(const std::string &path, std::string &bytes);

}  // namespace textcopy_test
