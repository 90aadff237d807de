// One copy past 2 GiB, streamed: the content must come out whole, three
// times over, and land whole on disk.
#include "model.h"
#include "runner.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace textcopy_test {
namespace {

namespace fs = std::filesystem;

// Past 2 GiB an int no longer counts the output, as printf's does.
TEST(LargeContent, PastTwoGibIsShownAndCopiedExactly)
{
    const Program &program = Program::get();
    if (program.leg != native)
        GTEST_SKIP() << "not on this leg: the native build shows this; Wine and valgrind would take many minutes";
    Scratch scratch;
    const uint64_t size = (uint64_t{2} << 30) + 4099;
    struct statvfs room;
    ASSERT_EQ(statvfs(scratch.dir().c_str(), &room), 0);
    ASSERT_GE(uint64_t{room.f_bavail} * room.f_frsize, 3 * size)
        << "not enough free disk for a source and a copy of " << size << " bytes";

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
        {msg::opened + "\n", 0},
        {"", size},
        {"\n" + msg::written + "\n" + msg::original_caption, 0},
        {"", size},
        {"\n\n\n" + msg::new_caption, 0},
        {"", size},
        {"\n" + msg::copied + "\n", 0},
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
    RunResult result = run(scratch, {"src.txt", "dst.txt"}, {.stdout_sink = compare, .timeout_seconds = 600});

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(same && piece == pieces.size()) << "standard output differs near byte " << seen;
    EXPECT_EQ(seen,
              3 * size + pieces[0].text.size() + pieces[2].text.size() + pieces[4].text.size() + pieces[6].text.size());
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
