#include "app/KrCommandCompiler.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kError = "/* error */\n";

// One keyframes block as the renderer writes it, for the expected texts.
std::string keyframes(const std::string& keyword, const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& frames) {
    std::string text = "@" + keyword + " " + name + " {\n";
    for (const auto& [percent, body] : frames) {
        text += percent + "% {\n  " + body + "\n}\n";
    }
    return text + "}\n\n";
}

}  // namespace

TEST(KrCommandCompiler, RendersTheLinearAnimationOfTwoSlides) {
    const std::string expected = R"(.slide0 {
  -webkit-animation: slide0 4s infinite;
  animation: slide0 4s infinite;
}

@-webkit-keyframes slide0 {
0% {
  opacity:1
}
40% {
  opacity:1
}
50% {
  opacity:0
}
90% {
  opacity:0
}
100% {
  opacity:1
}
}

@keyframes slide0 {
0% {
  opacity:1
}
40% {
  opacity:1
}
50% {
  opacity:0
}
90% {
  opacity:0
}
100% {
  opacity:1
}
}

.slide1 {
  -webkit-animation: slide1 4s infinite;
  animation: slide1 4s infinite;
}

@-webkit-keyframes slide1 {
0% {
  opacity:0
}
40% {
  opacity:0
}
50% {
  opacity:1
}
90% {
  opacity:1
}
100% {
  opacity:0
}
}

@keyframes slide1 {
0% {
  opacity:0
}
40% {
  opacity:0
}
50% {
  opacity:1
}
90% {
  opacity:1
}
100% {
  opacity:0
}
}

)";
    EXPECT_EQ(RenderCommand("!linearanimation(.slide, 4s, infinite, 2, opacity:1, opacity:0, 10)"),
              expected);
    // Quotes come off the selector and the bodies; blanks and extra
    // arguments and text after ")" change nothing.
    EXPECT_EQ(RenderCommand("! linearanimation(  '.slide',\"4s\",infinite,\n2, \"opacity:1\","
                            "'opacity:0',10, extra) trailing"),
              expected);
}

TEST(KrCommandCompiler, MiddleFramesUseTheStreamsDefaultFormat) {
    std::ostringstream out;
    KrCommandCompiler().writeCssKeyframes(out, "keyframes", "n1", 3, 1, 5, "S", "H");
    EXPECT_EQ(out.str(), keyframes("keyframes", "n1",
                                   {{"0", "H"},
                                    {"28.3333", "H"},
                                    {"33.3333", "S"},
                                    {"61.6667", "S"},
                                    {"66.6667", "H"},
                                    {"100", "H"}}));
    const std::string ids = RenderCommand("!linearanimation(#pic, 1s, alternate, 3, a, b, 0)");
    EXPECT_EQ(ids.rfind("#pic0 {\n  -webkit-animation: pic0 1s alternate;\n", 0), 0u) << ids;
    EXPECT_NE(ids.find("#pic2 {\n"), std::string::npos);
    EXPECT_NE(ids.find(keyframes("keyframes", "pic2",
                                 {{"0", "b"}, {"66.6667", "b"}, {"66.6667", "a"}, {"100", "a"}, {"100", "b"}})),
              std::string::npos);
}

TEST(KrCommandCompiler, MalformedCommandsRenderAsError) {
    const struct {
        const char* command;
        std::string result;
    } rows[] = {
        {"!other(1)", kError},
        {"linearanimation(.s, 1s, x, 2, a, b, 1)", kError},  // no "!"
        {"!", kError},
        {"!   ", kError},
        {"!linearanimation", kError},                 // the name ends the text
        {"!linearanimation (.s)", kError},            // blank before "("
        {"!9lives(1)", kError},
        {"!linearanimation(", kError},
        {"!linearanimation(.s, 1s, x, 2, a, b", kError},  // the last argument has no end
        {"!linearanimation(.s, 1s, x, 2, a, b)", kError},  // one argument short
        {"!linearanimation()", kError},
        {"!linearanimation(.s, 1s, x, two, a, b, 1)", kError},
        {"!linearanimation(.s, 1s, x, 2, a, b, ten)", kError},
        // stoul would read "-1" as the largest count and never finish.
        {"!linearanimation(.s, 1s, x, -1, a, b, 1)", kError},
        {"!linearanimation(.s, 1s, x,  -2, a, b, 1)", kError},
        {"!linearanimation(.s, 1s, x, 2, a, b, -5)", kError},
        {"!linearanimation(.s, 1s, x, 99999999999999999999999, a, b, 1)", kError},
        {"!linearanimation(.s, 1s, x, 10001, a, b, 1)", kError},
        {"!linearanimation(.s, 1s, x, 0, a, b, 1)", ""},
        {"!linearanimation(.s, 1s, x, 1, a, b, 1)", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        EXPECT_EQ(RenderCommand(row.command), row.result);
    }
    EXPECT_NE(RenderCommand("!linearanimation(.s, 1s, x, 10000, a, b, 1)").find(".s9999 {"),
              std::string::npos);
}
