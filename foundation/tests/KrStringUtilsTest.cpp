#include "foundation/KrStringUtils.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace {

struct Row {
    std::string input;
    std::string expected;
};

std::string RandomBytes(std::mt19937& random, size_t length) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += static_cast<char>(byte(random));
    return text;
}

}  // namespace

TEST(KrStringUtils, Base64AlphabetHasPadAtIndex64) {
    ASSERT_EQ(g_base64Alphabet.size(), 65u);
    EXPECT_EQ(g_base64Alphabet[0], 'A');
    EXPECT_EQ(g_base64Alphabet[26], 'a');
    EXPECT_EQ(g_base64Alphabet[52], '0');
    EXPECT_EQ(g_base64Alphabet[62], '+');
    EXPECT_EQ(g_base64Alphabet[63], '/');
    EXPECT_EQ(g_base64Alphabet[64], '=');
    EXPECT_EQ(&Base64Alphabet, &g_base64Alphabet);
}

TEST(KrStringUtils, TrimsCharactersOfTheSet) {
    EXPECT_EQ(Trim("  x  ", " "), "x");
    EXPECT_EQ(Trim("   ", " "), "");
    EXPECT_EQ(Trim(" ;\tcolor: red;\r\n", " ;\n\t\r"), "color: red");
    EXPECT_EQ(TrimRight("ab  ", " "), "ab");
    EXPECT_EQ(TrimRight("  ", " "), "");

    std::string blanks = "   ";
    EXPECT_EQ(TrimLeft(blanks, " "), "");
    EXPECT_EQ(blanks, "   ");
    std::string text = "  ab ";
    EXPECT_EQ(TrimLeft(text, " "), "ab ");
    EXPECT_EQ(text, "ab ");
}

TEST(KrStringUtils, HTMLEscapeTable) {
    const std::vector<Row> rows = {
        {"a b", "a b"}, {"\"", "&quot;"}, {"&", "&amp;"},       {"'", "&apos;"},
        {"<", "&lt;"},  {">", "&gt;"},    {"&lt;", "&amp;lt;"}, {"x\xc3\xa9y", "x\xc3\xa9y"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(HTMLEscape(row.input.data(), row.input.size(), false), row.expected) << row.input;
    }
    EXPECT_EQ(HTMLEscape("a b", true), "a&nbsp;b");
    // Length, not the zero byte, ends the text.
    const char withZero[] = {'<', '\0', '>'};
    EXPECT_EQ(HTMLEscape(withZero, 3, false), std::string("&lt;\0&gt;", 9));
}

TEST(KrStringUtils, EscapeTablesForScriptsAndAngles) {
    const std::vector<Row> js = {
        {"\b", "\\b"},
        {"\t", "\\t"},
        {"\n", "\\n"},
        {"\f", "\\f"},
        {"\r", "\\r"},
        {"\"", "\\\""},
        {"'", "\\'"},
        {"\\", "\\\\"},
        {"\\n", "\\\\n"},
        {"plain", "plain"},
        {"a\"b'c", "a\\\"b\\'c"},
        // Safe inside a script element as well, with the same string value.
        {"</script>", "<\\/script>"},
        {"<!-- x -->", "<\\!-- x -->"},
        {"<!x <a <", "<!x <a <"},
        {std::string("a\0b", 3), "a\\u0000b"},
        {"\x01\x1f\x0b", "\\u0001\\u001F\\u000B"},
        {"\x7f", "\x7f"},
        {"a\xE2\x80\xA8-\xE2\x80\xA9", "a\\u2028-\\u2029"},
        {"\xE2\x80\xA0 \xE2\x80", "\xE2\x80\xA0 \xE2\x80"},
    };
    for (const auto& row : js)
        EXPECT_EQ(JSStringEscape(row.input), row.expected) << row.input;
    EXPECT_EQ(EscapeAngleBrackets("<a href='x'>t</a>"), "&lt;a href='x'&gt;t&lt;/a&gt;");
    EXPECT_EQ(EscapeSpaces("a b  c"), "a\\ b\\ \\ c");
}

TEST(KrStringUtils, ConsumingFunctionsEmptyTheirArgument) {
    std::string text = "a<b";
    EXPECT_EQ(EscapeAngleBrackets(std::move(text)), "a&lt;b");
    EXPECT_TRUE(text.empty());
    text = "abc";
    EXPECT_EQ(ToLowerMove(std::move(text)), "abc");
    EXPECT_TRUE(text.empty());
}

TEST(KrStringUtils, CleanUpTable) {
    EXPECT_EQ(StripEntities("a&amp;b"), "a;b");
    EXPECT_EQ(StripEntities("a & b"), "a & b");
    EXPECT_EQ(StripEntities("&a;&b;c&"), ";;c&");
    EXPECT_EQ(StripEntities("x&&y;z"), "x;z");
    EXPECT_EQ(StripCssComments("a/**/b"), "ab");
    EXPECT_EQ(StripCssComments("a/*b"), "a/*b");
    EXPECT_EQ(StripCssComments("a/* x */b/* y */c/* z"), "abc/* z");
    EXPECT_EQ(StripCssComments("/*/ still */x"), "x");
    EXPECT_EQ(StripImportant("red !important; blue!important"), "red ; blue");
    EXPECT_EQ(StripImportant("!important"), "");
}

TEST(KrStringUtils, URLDecodeTable) {
    const std::vector<Row> rows = {
        {"%41", "A"},
        {"%41%4", "A%4"},
        {"%4", "%4"},
        {"%", "%"},
        {"%zz", "%zz"},
        {"%4g", "%4g"},
        {"% 4", "% 4"},
        {"%+4", "%+4"},
        {"%-1", "%-1"},
        {"%2541", "%41"},
        {"%%41", "%A"},
        {"a%2Fb%2fc", "a/b/c"},
        {"%00x", std::string("\0x", 2)},
        {"%ff", "\xff"},
        {"100%", "100%"},
        {"plain/path.txt", "plain/path.txt"},
        {"ab%41cd%42", "abAcdB"},
        {"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(URLDecode(row.input), row.expected) << row.input;
}

TEST(KrStringUtils, FormDecodingTurnsPlusIntoBlankFirst) {
    std::string text = "a+b%2Bc";
    EXPECT_EQ(URLDecodeInPlace(text), "a b+c");
    EXPECT_TRUE(text.empty());
    text = "%2+";
    EXPECT_EQ(URLDecodeInPlace(text), "%2 ");
}

TEST(KrStringUtils, PercentEncodingTable) {
    EXPECT_EQ(EscapePunctuation("a b/c"), "a%20b%2fc");
    EXPECT_EQ(FormEncode("a b/c"), "a+b%2fc");
    EXPECT_EQ(EscapePunctuation("%"), "%25");
    EXPECT_EQ(FormEncode("+"), "%2b");
    EXPECT_EQ(EscapePunctuation("^_`~azAZ09"), "^_`~azAZ09");
    EXPECT_EQ(EscapePunctuation("\xc3\xa9"), "%c3%a9");
    EXPECT_EQ(EscapePunctuation("!\"#$&'()*,-.:;<=>?@[\\]{|}"),
              "%21%22%23%24%26%27%28%29%2a%2c%2d%2e%3a%3b%3c%3d%3e%3f%40%5b%5c%5d%7b%7c%7d");
}

TEST(KrStringUtils, RandomBytesSurviveEncodeAndDecode) {
    std::mt19937 random(20240305);
    for (int round = 0; round < 500; ++round) {
        const std::string original = RandomBytes(random, static_cast<size_t>(round % 64));
        EXPECT_EQ(URLDecode(EscapePunctuation(original)), original);
        std::string form = FormEncode(original);
        EXPECT_EQ(form.find(' '), std::string::npos);
        EXPECT_EQ(URLDecodeInPlace(form), original);
    }
}

TEST(KrStringUtils, RandomBytesNeverBreakTheDecoders) {
    std::mt19937 random(7);
    const std::string alphabet = "%%%+0123456789abcdefABCDEFgz ";
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (int i = round % 12; i > 0; --i)
            text += alphabet[pick(random)];
        const std::string decoded = URLDecode(text);
        EXPECT_LE(decoded.size(), text.size());
        // Every removed pair of bytes came from one valid escape.
        EXPECT_EQ((text.size() - decoded.size()) % 2, 0u);
    }
}

TEST(KrStringUtils, AppendHexWritesLowerCaseWithoutLeadingZeros) {
    EXPECT_EQ(AppendHex(0, "%"), "%0");
    EXPECT_EQ(AppendHex(0x2f, "%"), "%2f");
    EXPECT_EQ(AppendHex(0xDEADBEEF, "id"), "iddeadbeef");
    EXPECT_EQ(AppendHex(UINT64_MAX, ""), "ffffffffffffffff");
}

TEST(KrStringUtils, StringToULLNeverThrowsAndRefusesSigns) {
    struct Case {
        std::string text;
        uint64_t expected;
    };
    const std::vector<Case> cases = {
        {"42", 42},
        {"  42", 42},
        {"\t7x", 7},
        {"12abc", 12},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", 99},
        {"99999999999999999999999", 99},
        {"-1", 99},
        {"+1", 99},
        {"", 99},
        {"abc", 99},
        {" ", 99},
        {"0", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringToULL(c.text, 99), c.expected) << c.text;
}

TEST(KrStringUtils, SmallConversions) {
    EXPECT_TRUE(IsTrue("true"));
    EXPECT_FALSE(IsTrue("True"));
    EXPECT_FALSE(IsTrue(" true"));
    EXPECT_EQ(ToLowerMove("MiXeD \xc3\x89"), "mixed \xc3\x89");

    std::string number = "3.5";
    EXPECT_DOUBLE_EQ(ToDoubleLocale(number), 3.5);
    std::string bad = "abc";
    EXPECT_EQ(ToDoubleLocale(bad), 0);
    std::string empty;
    EXPECT_EQ(ToDoubleLocale(empty), 0);
    std::string huge = "1e999";
    EXPECT_EQ(ToDoubleLocale(huge), 0);
}

TEST(KrStringUtils, CountsAndLines) {
    EXPECT_EQ(CountOccurrences("aaaa", "aa"), 2u);
    EXPECT_EQ(CountOccurrences("aaa", "aa"), 1u);
    EXPECT_EQ(CountOccurrences("abc", ""), 0u);
    EXPECT_EQ(CountOccurrences("", "a"), 0u);

    const std::string text = "a\nb\nc";
    EXPECT_EQ(LineNumberAt(text, 0), 1u);
    EXPECT_EQ(LineNumberAt(text, 2), 2u);
    EXPECT_EQ(LineNumberAt(text, UINT64_MAX), 3u);
    EXPECT_EQ(LineNumberAt(text, 1000), 3u);
}

TEST(KrStringUtils, ShortenLeftKeepsTheEnd) {
    EXPECT_EQ(ShortenLeft("abcdefgh", 6), "...fgh");
    EXPECT_EQ(ShortenLeft("abcdef", 6), "abcdef");
    EXPECT_EQ(ShortenLeft("abcd", 3), "...");
    EXPECT_THROW(ShortenLeft("abcd", 2), std::out_of_range);
    EXPECT_EQ(ShortenLeft("ab", 2), "ab");
}

TEST(KrStringUtils, EraseFrontCounts) {
    std::string text = "abcdef";
    EraseFront(text, 0);
    EXPECT_EQ(text, "abcdef");
    EraseFront(text, 2);
    EXPECT_EQ(text, "cdef");
    EraseFront(text, 100);
    EXPECT_EQ(text, "");
    text = "abc";
    EraseFront(text, -1);
    EXPECT_EQ(text, "");
}

TEST(KrStringUtils, ListAndMapHelpers) {
    std::vector<std::string> list = {"a", "b"};
    EXPECT_EQ(StringVectorSize2(list), 2u);
    *StringVectorItem(list, 1) = "B";
    EXPECT_EQ(list[1], "B");
    EXPECT_EQ(StringVectorItemOrEmpty(list, 0), "a");
    EXPECT_EQ(StringVectorItemOrEmpty(list, 2), "");

    const std::map<std::string, std::string> map = {{"k", "v"}};
    EXPECT_EQ(MapValueOr(map, "k", "d"), "v");
    EXPECT_EQ(MapValueOr(map, "x", "d"), "d");

    testing::internal::CaptureStdout();
    PrintStringMap({{"b", "2"}, {"a", "1"}});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[a] = 1\n[b] = 2\n");
    EXPECT_EQ(BuildNumber(), "96");
}
