#include "transport/KrHeaderFields.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

using Values = std::vector<std::string>;

// Appends a field as the reader does: name already lower-case, value trimmed.
void Add(KrHeaderFields& fields, std::string_view name, std::string_view raw) {
    KrHeaderFields::Store& store = fields.writableStore();
    const auto nameAt = static_cast<uint32_t>(store.text.size());
    store.text.append(name);
    const auto valueAt = static_cast<uint32_t>(store.text.size());
    store.text.append(raw);
    const bool blanks = raw.find_first_of(" \t") != std::string_view::npos;
    store.add({nameAt, static_cast<uint32_t>(name.size()), valueAt,
               static_cast<uint32_t>(raw.size()), blanks || raw.front() == ':', blanks});
    fields.entryAdded();
}

KrHeaderFields Sample() {
    KrHeaderFields fields;
    Add(fields, "host", "localhost:8000");
    Add(fields, "x-a", "one");
    Add(fields, "x-a", "two words");
    Add(fields, "x-a", "three");
    Add(fields, "odd", ":v");
    return fields;
}

Values Visited(const KrHeaderFields& fields, std::string_view name) {
    Values out;
    fields.visit(name, [&out](std::string_view value) {
        out.emplace_back(value);
        return true;
    });
    return out;
}

}  // namespace

TEST(KrHeaderFields, EveryWayOfReadingGivesTheSameValues) {
    const std::pair<const char*, Values> rows[] = {
        {"host", {"localhost:8000"}},
        {"x-a", {"one", "twowords", "three"}},
        {"odd", {"v"}},
        {"absent", {}},
    };
    for (const auto& [name, expected] : rows) {
        KrHeaderFields byName = Sample();
        KrHeaderFields whole = Sample();
        EXPECT_EQ(Visited(byName, name), expected) << name;
        EXPECT_EQ(byName.values(name), expected) << name;
        EXPECT_EQ(whole.all()[name], expected) << name;
        EXPECT_EQ(Visited(whole, name), expected) << name;
    }
    KrHeaderFields fields = Sample();
    EXPECT_EQ(fields.raw("x-a"), (Values{"one", "two words", "three"}));
    EXPECT_EQ(fields.raw("odd"), (Values{"v"}));
    EXPECT_EQ(fields.all().size(), 3u);  // "absent" was never asked for here
}

TEST(KrHeaderFields, TheFirstRawValueIsTheFirstOfRaw) {
    KrHeaderFields blanksFirst;
    Add(blanksFirst, "x-a", "two  words");
    Add(blanksFirst, "x-a", "one");
    const std::pair<KrHeaderFields, const char*> rows[] = {
        {Sample(), "host"}, {Sample(), "x-a"}, {Sample(), "odd"},
        {Sample(), "absent"}, {blanksFirst, "x-a"}, {KrHeaderFields(), "host"},
    };
    for (const auto& [fields, name] : rows) {
        KrHeaderFields fromRecord = fields;
        KrHeaderFields fromMap = fields;
        const Values raw = fromMap.raw(name);
        std::string first;
        EXPECT_EQ(fromRecord.firstRaw(name, first), !raw.empty()) << name;
        if (raw.empty())
            continue;
        EXPECT_EQ(first, raw.front()) << name;
        // Answered from the map once one was made, changes included.
        {
            fromMap.values(name).front() = "changed";
            std::string again;
            EXPECT_TRUE(fromMap.firstRaw(name, again)) << name;
            EXPECT_EQ(again, fromMap.raw(name).front()) << name;
        }
    }
}

TEST(KrHeaderFields, ChangedEntriesStayTheTruth) {
    KrHeaderFields fields = Sample();
    fields.values("x-a").clear();
    fields.values("host").push_back("second");
    fields.values("new").push_back("n");
    // An emptied entry is still there, as it is in the map.
    EXPECT_TRUE(fields.has("x-a"));
    EXPECT_EQ(fields.first("x-a"), "");
    EXPECT_EQ(fields.first("host"), "localhost:8000");
    const KrHeaderFieldMap& all = fields.all();
    EXPECT_EQ(all.at("x-a"), Values{});
    EXPECT_EQ(all.at("host"), (Values{"localhost:8000", "second"}));
    EXPECT_EQ(all.at("new"), Values{"n"});
    EXPECT_EQ(all.at("odd"), Values{"v"});
    fields.all().erase("odd");
    EXPECT_FALSE(fields.has("odd"));
    EXPECT_EQ(fields.values("odd"), Values{});
}

TEST(KrHeaderFields, FieldsReadLaterJoinEntriesAlreadyMade) {
    KrHeaderFields fields;
    Add(fields, "x-a", "one");
    EXPECT_EQ(fields.values("x-a"), Values{"one"});
    EXPECT_EQ(fields.raw("x-b"), Values{});
    Add(fields, "x-a", "two");
    Add(fields, "x-b", "b b");
    EXPECT_EQ(fields.values("x-a"), (Values{"one", "two"}));
    EXPECT_EQ(fields.values("x-b"), Values{"bb"});

    KrHeaderFields complete;
    Add(complete, "x-a", "one");
    complete.all();
    Add(complete, "x-c", "c");
    EXPECT_EQ(complete.all().at("x-c"), Values{"c"});
}

TEST(KrHeaderFields, ACopyIsIndependentOfItsOrigin) {
    KrHeaderFields origin = Sample();
    origin.values("host").push_back("changed before");
    KrHeaderFields copy = origin;
    origin.values("host").clear();
    Add(origin, "late", "l");
    copy.values("x-a").push_back("four");
    EXPECT_EQ(copy.values("host"), (Values{"localhost:8000", "changed before"}));
    EXPECT_EQ(copy.values("late"), Values{});
    EXPECT_EQ(origin.values("x-a"), (Values{"one", "twowords", "three"}));
    EXPECT_EQ(origin.values("late"), Values{"l"});
}
