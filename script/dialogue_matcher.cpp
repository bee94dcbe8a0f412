#include "script/dialogue_matcher.h"

#include <algorithm>

#include "script/dialogue_lines.h"
#include "script/mod_misc.h"
#include "script/text_search.h"

namespace dialogue {

void Matcher::ArmWait(const std::vector<std::string>& texts) {
    DisarmWait();
    for (const std::string& t : texts) entries_.push_back(Entry{Role::Wait, t, std::string(), std::string()});
    waitCount_ = texts.size();
}

void Matcher::DisarmWait() {
    if (waitCount_ == 0) return;
    std::erase_if(entries_, [](const Entry& e) { return e.role == Role::Wait; });
    waitCount_ = 0;
}

bool Matcher::SetResponder(const std::string& text, const std::string& reply) {
    for (Entry& e : entries_) {
        if (e.role == Role::On && e.text == text) {
            e.reply = reply;
            return true;
        }
    }
    if (Responders() >= kMaxResponders) return false;
    entries_.push_back(Entry{Role::On, text, reply, std::string()});
    return true;
}

void Matcher::RemoveResponder(const std::string& text) {
    std::erase_if(entries_, [&](const Entry& e) { return e.role == Role::On && e.text == text; });
}

size_t Matcher::Responders() const {
    return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                             [](const Entry& e) { return e.role == Role::On; }));
}

void Matcher::AddFail(const std::string& text) {
    for (const Entry& e : entries_)
        if (e.role == Role::Fail && e.text == text) return;
    entries_.push_back(Entry{Role::Fail, text, std::string(), std::string()});
}

void Matcher::Clear() {
    entries_.clear();
    waitCount_ = 0;
}

bool Matcher::Search(Entry& e, std::string_view block) {
    const size_t m = e.text.size();
    if (m == 0) return !block.empty();
    bool found = false;
    if (!e.tail.empty() && !block.empty()) {
        // A match across the boundary starts in the tail and ends within the
        // block's first m - 1 bytes.
        junction_.assign(e.tail);
        junction_.append(block.substr(0, m - 1));
        found = textsearch::ContainsFolded(junction_, e.text);
    }
    if (!found) found = modMisc::ContainsText(block, e.text);
    if (found) {
        e.tail.clear();
        return true;
    }
    const size_t keep = m - 1;
    if (block.size() >= keep) {
        e.tail.assign(block.substr(block.size() - keep));
    } else {
        e.tail.append(block);
        if (e.tail.size() > keep) e.tail.erase(0, e.tail.size() - keep);
    }
    return false;
}

Matcher::Outcome Matcher::Feed(std::string_view block) {
    Outcome out;
    out.waitMatched = waitCount_ == 0 && !block.empty();
    for (Entry& e : entries_) {
        if (!Search(e, block)) continue;
        switch (e.role) {
        case Role::Wait: out.waitMatched = true; break;
        case Role::On: out.replies.push_back(e.reply); break;
        case Role::Fail:
            if (!out.failed) out.failText = e.text;
            out.failed = true;
            break;
        }
    }
    return out;
}

bool Matcher::FeedWait(std::string_view block) {
    bool matched = false;
    for (Entry& e : entries_)
        if (e.role == Role::Wait && Search(e, block)) matched = true;
    return matched;
}

}  // namespace dialogue
