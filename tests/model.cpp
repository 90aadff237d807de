#include "model.h"

#include <sstream>

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
const std::string read_failed = hex("CE C4 BC FE B6 C1 C8 A1 CA A7 B0 DC A3 AC C7 EB D6 D8 CA D4 A3 A1");
const std::string written = hex("CE C4 BC FE D0 B4 C8 EB B3 C9 B9 A6 0A");
const std::string write_failed = hex("CE C4 BC FE D0 B4 C8 EB CA A7 B0 DC A3 AC C7 EB D6 D8 CA D4 A3 A1");
const std::string original_caption = hex("D4 AD CE C4 BC FE B5 C4 C4 DA C8 DD CE AA A3 BA");
const std::string new_caption = hex("D0 C2 CE C4 BC FE B5 C4 C4 DA C8 DD CE AA A3 BA");
const std::string copied = hex("B9 A7 CF B2 C4 FA A3 AC CE C4 BC FE B8 B4 D6 C6 B3 C9 B9 A6 A3 A1");
}  // namespace msg

std::string TextMode::read(std::string_view raw, size_t cap) const
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

std::string TextMode::write(std::string_view text) const
{
    if (!windows)
        return std::string(text);
    std::string raw;
    for (char c : text) {
        if (c == '\n')
            raw += '\r';
        raw += c;
    }
    return raw;
}

Expected expected(const TextMode &mode, std::string_view source, Outcome outcome)
{
    // Every read is capped at the source's size: the source is read, read
    // again, and the destination read back.
    const std::string content = mode.read(source, source.size());
    const std::string on_disk = mode.write(content);
    const std::string back = mode.read(on_disk, source.size());
    // The lines of a full copy, in order; an outcome keeps the first few and
    // ends with its own message.
    const std::string lines[] = {
        msg::opened + "\n",
        content + "\n",
        msg::written + "\n",
        msg::original_caption + content + "\n\n\n",
        msg::new_caption + back + "\n",
    };
    auto stop = [&](size_t kept, const std::string &last, bool written) {
        std::string transcript;
        for (size_t i = 0; i < kept; ++i)
            transcript += lines[i];
        return Expected{mode.write(transcript + last + "\n"), written, written ? on_disk : ""};
    };
    switch (outcome) {
    case Outcome::source_refused: return stop(0, msg::open_failed, false);
    case Outcome::first_read_failed: return stop(1, msg::read_failed, false);
    case Outcome::destination_refused: return stop(2, msg::open_failed, false);
    case Outcome::write_failed: return stop(2, msg::write_failed, false);
    case Outcome::second_read_failed: return stop(3, msg::read_failed, true);
    case Outcome::read_back_failed: return stop(4, msg::read_failed, true);
    case Outcome::close_failed: return stop(5, msg::write_failed, true);
    case Outcome::copied: return stop(5, msg::copied, true);
    case Outcome::silent: break;
    }
    return {};
}

}  // namespace textcopy_test
