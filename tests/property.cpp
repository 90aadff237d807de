// Random contents against the model of the platform's text mode: the bytes
// that matter here (NUL, CR, LF, Ctrl-Z, %, letters, bytes from 80 to FF),
// singly and in runs, with CR LF pairs straddling the buffer sizes where a
// runtime could split them. Repeatable: TEXTCOPY_SEED chooses the seed, and
// a failure names it with the content's number.
#include "model.h"
#include "runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace textcopy_test {
namespace {

constexpr int shards = 4;
constexpr int contents_per_shard = 75;

std::string random_content(std::mt19937_64 &rng)
{
    auto below = [&](uint64_t n) { return static_cast<size_t>(rng() % n); };
    static const size_t lengths[] = {64, 64, 4096, 8192, 70000, 140000, 400000};
    size_t length = below(lengths[below(std::size(lengths))] + 1);

    // Some contents hold no NUL or no Ctrl-Z at all, so that many run to
    // their full length; the others hold them rarely or often.
    static const unsigned rarity[] = {0, 0, 1, 20};
    unsigned nul = rarity[below(4)], ctrl_z = rarity[below(4)];
    auto pick = [&]() -> char {
        static const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
        size_t roll = below(1000);
        if (roll < nul)
            return '\0';
        if (roll < nul + ctrl_z)
            return '\x1A';
        switch (below(7)) {
        case 0: return '\r';
        case 1: return '\n';
        case 2: return '%';
        case 3:
        case 4: return letters[below(letters.size())];
        default: return static_cast<char>(0x80 + below(0x80));
        }
    };
    std::string content;
    while (content.size() < length) {
        switch (below(6)) {
        case 0: content += "\r\n"; break;
        case 1: content.append(1 + below(40), pick()); break;
        default: content += pick(); break;
        }
    }
    content.resize(length);
    for (size_t boundary : {size_t{512}, size_t{4096}, size_t{8192}, size_t{65536}, size_t{131072}}) {
        if (boundary < length && below(2) == 0) {
            content[boundary - 1] = '\r';
            content[boundary] = '\n';
        }
    }
    return content;
}

// Where two byte strings first part, for a message that stays readable.
std::string first_difference(const std::string &got, const std::string &want)
{
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    auto around = [&](const std::string &s) { return testing::PrintToString(s.substr(at, 24)); };
    return "at byte " + std::to_string(at) + " of " + std::to_string(got.size()) + " (expected "
        + std::to_string(want.size()) + "): got " + around(got) + ", expected " + around(want);
}

class Property : public testing::TestWithParam<int> {};

TEST_P(Property, RandomContentsFollowTheTextModeModel)
{
    const Program &program = Program::get();
    const char *chosen = std::getenv("TEXTCOPY_SEED");
    const uint64_t seed = chosen ? std::strtoull(chosen, nullptr, 10) : 20261211;
    for (int n = GetParam() * contents_per_shard; n < (GetParam() + 1) * contents_per_shard; ++n) {
        std::mt19937_64 rng(seed + static_cast<uint64_t>(n));
        std::string source = random_content(rng);
        SCOPED_TRACE("TEXTCOPY_SEED=" + std::to_string(seed) + ", content " + std::to_string(n) + " of "
                     + std::to_string(source.size()) + " bytes");
        Scratch scratch;
        scratch.write("src.txt", source);
        RunResult result = run(scratch, {"src.txt", "dst.txt"});
        Expected want = expected(program.mode, source, Outcome::copied);
        std::string destination, after;
        ASSERT_TRUE(read_file(scratch.path("dst.txt"), destination));
        ASSERT_TRUE(read_file(scratch.path("src.txt"), after));
        ASSERT_EQ(result.status, 0);
        ASSERT_EQ(result.err, "");
        ASSERT_TRUE(result.out == want.transcript)
            << "standard output differs " << first_difference(result.out, want.transcript);
        ASSERT_TRUE(destination == want.destination)
            << "the destination differs " << first_difference(destination, want.destination);
        ASSERT_TRUE(after == source) << "the source changed";
    }
}

INSTANTIATE_TEST_SUITE_P(Shard, Property, testing::Range(0, shards));

}  // namespace
}  // namespace textcopy_test
