#include "foundation/KrStringSplit.h"

#include "foundation/KrStringUtils.h"

std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter,
                                     bool skipEmpty) {
    std::vector<std::string> pieces;
    // An empty delimiter would match everywhere without advancing.
    if (delimiter.empty()) {
        if (!text.empty())
            pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (size_t at = text.find(delimiter); at != std::string::npos;
         at = text.find(delimiter, start)) {
        if (at > start || !skipEmpty)
            pieces.emplace_back(text, start, at - start);
        start = at + delimiter.size();
    }
    if (start < text.size())
        pieces.emplace_back(text, start, std::string::npos);
    return pieces;
}

std::vector<std::string> SplitStringAll(const std::string& text, const std::string& delimiter) {
    return SplitString(text, delimiter, false);
}

std::string JoinPath(const std::string& first, const std::string& second) {
    std::string head = first;
    const size_t lastKept = head.find_last_not_of('/');
    if (lastKept != std::string::npos)
        head.erase(lastKept + 1);
    const size_t firstKept = second.find_first_not_of('/');
    std::string tail = firstKept == std::string::npos ? second : second.substr(firstKept);
    head += '/';
    head += tail;
    return head;
}

std::map<std::string, std::string> ParseKeyValueList(const std::string& text,
                                                     const std::string& itemDelimiter,
                                                     const std::string& keyValueDelimiter,
                                                     const std::string& trimSet) {
    std::map<std::string, std::string> result;
    auto store = [&](const std::string& item) {
        const std::vector<std::string> parts = SplitStringAll(item, keyValueDelimiter);
        if (parts.size() == 1) {
            result[trimSet.empty() ? parts[0] : Trim(parts[0], trimSet)] = "";
        } else if (parts.size() == 2) {
            if (trimSet.empty()) {
                result[parts[0]] = parts[1];
            } else {
                result[Trim(parts[0], trimSet)] = Trim(parts[1], trimSet);
            }
        }
    };
    if (itemDelimiter.empty()) {
        store(text);
        return result;
    }
    size_t start = 0;
    for (size_t at = text.find(itemDelimiter); at != std::string::npos;
         at = text.find(itemDelimiter, start)) {
        store(text.substr(start, at - start));
        start = at + itemDelimiter.size();
    }
    store(text.substr(start));
    return result;
}
