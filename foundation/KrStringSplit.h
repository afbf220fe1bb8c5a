#pragma once
// Splitting at a delimiter string, joining path pieces, and reading
// "key=value" lists. An empty delimiter never splits: the whole text is one
// piece (none when the text is empty).

#include <map>
#include <string>
#include <vector>

// The pieces between occurrences of `delimiter`. With `skipEmpty` empty pieces
// are left out; the piece after the last delimiter is added only when it is
// not empty, so "a,b," gives two pieces and "" none.
std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter,
                                     bool skipEmpty);
std::vector<std::string> SplitStringAll(const std::string& text, const std::string& delimiter);
// first without trailing "/", one "/", second without leading "/"; a part made
// only of "/" (or an empty second) is used as it is, an empty first stays empty.
std::string JoinPath(const std::string& first, const std::string& second);
// Items cut at `itemDelimiter`, each split at `keyValueDelimiter` into key and
// value (trimmed of `trimSet` characters); a lone key maps to "", an item with
// more than one delimiter is ignored, a later key replaces an earlier one.
std::map<std::string, std::string> ParseKeyValueList(const std::string& text,
                                                     const std::string& itemDelimiter,
                                                     const std::string& keyValueDelimiter,
                                                     const std::string& trimSet);
