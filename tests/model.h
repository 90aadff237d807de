// What textcopy must do, apart from how it is run: its messages as GBK
// bytes, how the platform's text mode changes what is read and written, and
// the transcript and destination that a run must leave, by how it ends.
#pragma once

#include <string>
#include <string_view>

namespace textcopy_test {

// Bytes from a string of hex pairs, "CE C4 0A".
std::string hex(const char *pairs);

// The program's messages, each written out from its GBK bytes.
namespace msg {
extern const std::string open_failed;       // 文件打开失败，请重试！
extern const std::string opened;            // 文件打开成功
extern const std::string read_failed;       // 文件读取失败，请重试！
extern const std::string written;           // 文件写入成功 and a line feed
extern const std::string write_failed;      // 文件写入失败，请重试！
extern const std::string original_caption;  // 原文件的内容为：
extern const std::string new_caption;       // 新文件的内容为：
extern const std::string copied;            // 恭喜您，文件复制成功！
}  // namespace msg

// How the program under test sees files and standard output. On POSIX every
// byte passes as it is; Windows text mode translates line ends and ends a
// read at Ctrl-Z.
struct TextMode {
    bool windows = false;

    // What one read of up to cap characters from a file holding raw delivers,
    // cut before its first NUL as the program takes it.
    std::string read(std::string_view raw, size_t cap) const;
    // What lands on disk, or on standard output, when text is written.
    std::string write(std::string_view text) const;
};

// How a run ends, from the user's side: how far it got, and what it said
// last. Each stops the transcript of a full copy at one place.
enum class Outcome {
    source_refused,       // the open-failure message alone
    first_read_failed,    // the opened message, then the read-failure message
    destination_refused,  // the content, then the open-failure message
    write_failed,         // the content, then the write-failure message
    second_read_failed,   // the written message, then the read-failure message
    read_back_failed,     // the source again, then the read-failure message
    close_failed,         // the destination read back, then the write-failure message
    copied,               // the whole transcript, and the congratulation
    silent,               // nothing at all: standard output is the source
};

// What a run over a source file holding source must print, and what the
// destination must hold afterwards, when the run writes it at all.
struct Expected {
    std::string transcript;
    bool writes_destination = false;
    std::string destination;
};
Expected expected(const TextMode &mode, std::string_view source, Outcome outcome);

}  // namespace textcopy_test
