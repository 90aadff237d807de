// What every black-box test of textcopy needs: the expected message bytes,
// a model of the platform's text mode, a scratch folder, and a way to run
// the real program and capture what it did.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace textcopy_test {

// Bytes from a string of hex pairs, "CE C4 0A".
std::string hex(const char *pairs);

// The program's messages, each written out from its GBK bytes.
namespace msg {
extern const std::string open_failed;    // 文件打开失败，请重试！
extern const std::string opened;         // 文件打开成功
extern const std::string written;        // 文件写入成功 and a line feed
extern const std::string write_failed;   // 文件写入失败，请重试！
extern const std::string original;       // 原文件的内容为：
extern const std::string fresh;          // 新文件的内容为：
extern const std::string copied;         // 恭喜您，文件复制成功！
}  // namespace msg

// How the program under test sees files and standard output. On POSIX every
// byte passes as it is; Windows text mode translates line ends and ends a
// read at Ctrl-Z.
struct TextMode {
    bool windows = false;

    // What one read of up to cap characters from a file holding raw delivers,
    // cut before its first NUL as the program takes it.
    std::string read(const std::string &raw, size_t cap) const;
    // What lands on disk when text is written to a file.
    std::string write(const std::string &text) const;
    // What reaches standard output when text is printed.
    std::string print(const std::string &text) const;
};

// What a full run over a regular source file must leave: its standard
// output, and the bytes on disk in the destination.
struct Copy {
    std::string transcript;
    std::string destination;
};
Copy expected_copy(const TextMode &mode, const std::string &source);

// The program under test, as the environment names it.
struct Program {
    std::string exe;                  // the executable
    std::vector<std::string> runner;  // what starts it (Wine's loader, valgrind), if anything
    TextMode mode;
    int address_bits = 64;
    bool sanitized = false;  // built with AddressSanitizer
    bool memcheck = false;   // run under valgrind
    static const Program &get();
};

struct RunOptions {
    // Standard output goes to this path opened for appending, instead of a pipe.
    std::string stdout_append;
    bool close_stdout = false;
    // Run as an ordinary user rather than as root.
    bool unprivileged = false;
    // A cap on the address space (0: none), or a sanitizer's allocation cap.
    size_t memory_limit = 0;
    int timeout_seconds = 60;
    // Receives standard output as it arrives; when unset it is collected.
    std::function<void(const char *, size_t)> stdout_sink;
};

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // the exit status, or -1 when killed or not exited
    bool timed_out = false;
};

// Runs the program with the arguments in the folder dir.
RunResult run(const std::string &dir, const std::vector<std::string> &args,
              const RunOptions &options = {});

// A fresh folder per test, removed with everything in it afterwards.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const std::string &dir() const { return dir_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void write(const std::string &name, const std::string &bytes) const;
    // Nobody, root included, may change or remove it (chattr +i).
    void make_immutable(const std::string &name);
    // A descriptor that must stay open while the program runs.
    void keep_open(int fd) { open_.push_back(fd); }

private:
    std::string dir_;
    std::vector<std::string> immutable_;
    std::vector<int> open_;
};

// The bytes of a file, or nothing and false when it cannot be read.
bool read_file(const std::string &path, std::string &bytes);

}  // namespace textcopy_test
