// The telnet filter on arbitrary host bytes. The first byte picks how the
// rest is cut into blocks (one byte, fixed sizes, or cut points taken from
// the input itself); the rest is what the host sent.
//
// Checked: the result does not depend on the cut; the data is never longer
// than the input; the replies are only well-formed answers (three-byte
// DO/DONT/WILL/WONT or the terminal type), never two answers for one option
// and side in a row that say the same; and encoding arbitrary data then
// filtering it gives the data back with CR NUL read as CR.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "net/telnet/telnet_filter.h"

using namespace telnet;

namespace {

struct Out {
    std::string data;
    std::string replies;
};

Out FeedCut(std::string_view input, const std::vector<size_t>& cuts) {
    TelnetFilter f;
    Out o;
    size_t start = 0;
    for (size_t cut : cuts) {
        if (cut < start || cut > input.size()) continue;
        f.Receive(input.substr(start, cut - start), o.data, o.replies);
        start = cut;
    }
    f.Receive(input.substr(start), o.data, o.replies);
    return o;
}

void CheckReplies(const std::string& replies) {
    const std::string ttypeIs = std::string("\xff\xfa\x18\x00", 4) + std::string(kTerminalType) + "\xff\xf0";
    uint8_t last[2][256] = {};  // last verb answered per side and option
    size_t i = 0;
    while (i < replies.size()) {
        if (replies.compare(i, ttypeIs.size(), ttypeIs) == 0) {
            i += ttypeIs.size();
            continue;
        }
        FUZZ_CHECK(i + 3 <= replies.size(), "a reply is cut short");
        FUZZ_CHECK(static_cast<uint8_t>(replies[i]) == IAC, "a reply starts with IAC");
        const auto verb = static_cast<uint8_t>(replies[i + 1]);
        const auto option = static_cast<uint8_t>(replies[i + 2]);
        FUZZ_CHECK(verb >= WILL && verb <= DONT, "a reply is DO, DONT, WILL or WONT");
        const int side = (verb == DO || verb == DONT) ? 0 : 1;
        const bool positive = verb == DO || verb == WILL;
        if (positive) FUZZ_CHECK(last[side][option] != verb, "an option is enabled twice in a row");
        last[side][option] = verb;
        i += 3;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(bytes + 1), size - 1);
    const uint8_t mode = bytes[0];

    const Out whole = FeedCut(input, {});
    std::vector<size_t> cuts;
    if (mode % 3 == 0) {
        for (size_t i = 1; i < input.size(); ++i) cuts.push_back(i);
    } else if (mode % 3 == 1) {
        for (size_t i = mode / 3 + 1; i < input.size(); i += mode / 3 + 1) cuts.push_back(i);
    } else {
        for (size_t i = 0; i < input.size(); ++i) cuts.push_back(static_cast<uint8_t>(input[i]) * input.size() / 256);
    }
    const Out cut = FeedCut(input, cuts);
    FUZZ_CHECK(cut.data == whole.data, "the data depends on where blocks are cut");
    FUZZ_CHECK(cut.replies == whole.replies, "the replies depend on where blocks are cut");
    FUZZ_CHECK(whole.data.size() <= input.size(), "more data than input");
    CheckReplies(whole.replies);

    std::string expected;
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\0' && i > 0 && input[i - 1] == '\r') continue;
        expected += input[i];
    }
    const Out round = FeedCut(TelnetEncode(input), cuts);
    FUZZ_CHECK(round.data == expected, "encoded data does not come back");
    FUZZ_CHECK(round.replies.empty(), "encoded data is answered");
    return 0;
}
