// The one matcher of a run's dialogue: the texts an armed WAIT waits for,
// the responders (ON) and the failure texts (FAIL), searched in each
// received block together.
//
// Every text keeps a tail: the last bytes (at most the text's length minus
// one) of what it has been searched in since it was set, so a text that the
// host writes in pieces over consecutive blocks is found in the block that
// completes it. Per block the cost is the search of the block itself plus
// that of the junction (tail and the first bytes of the block), so
// O(block + text) for each text, as a plain search of the block. A block
// that completes a text is consumed whole: the text's tail starts afresh.
// Letters compare without case, as WAIT always has.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dialogue {

class Matcher {
public:
    // What one block completed.
    struct Outcome {
        bool failed = false;               // a FAIL text was found
        std::string failText;              // the first one found
        bool waitMatched = false;          // the armed WAIT is satisfied
        std::vector<std::string> replies;  // the replies of the responders found, in the order set
    };

    // Arms a WAIT for any of texts, with fresh tails.
    void ArmWait(const std::vector<std::string>& texts);
    void DisarmWait();
    bool WaitArmed() const { return waitCount_ > 0; }
    // Sets (or replaces) the responder of text. False, changing nothing, when
    // it is new and kMaxResponders are set already.
    bool SetResponder(const std::string& text, const std::string& reply);
    void RemoveResponder(const std::string& text);
    size_t Responders() const;
    // A FAIL text (the same text twice is kept once).
    void AddFail(const std::string& text);
    // Forgets everything (a new run).
    void Clear();

    // Searches a received block for every text. With no WAIT armed,
    // waitMatched is set for any non-empty block, as the runner has always
    // gone on from the block that ends a HOST or SEND. An empty text is found
    // in any non-empty block.
    Outcome Feed(std::string_view block);
    // Searches only the armed WAIT's texts (the block that let HOST go on,
    // which the other texts have already seen or were set after).
    bool FeedWait(std::string_view block);

private:
    enum class Role { Wait, On, Fail };
    struct Entry {
        Role role;
        std::string text;
        std::string reply;
        std::string tail;
    };
    bool Search(Entry& e, std::string_view block);

    std::vector<Entry> entries_;
    size_t waitCount_ = 0;
    std::string junction_;  // scratch storage for the junction search
};

}  // namespace dialogue
