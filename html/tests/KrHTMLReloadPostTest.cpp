#include "html/KrHTMLReloadPost.h"

#include <gtest/gtest.h>

#include "html/KrHTML_Document2.h"

#include <string>

namespace {

const std::string kButton =
    "<input id=\"quivoreloadbutton\" name=\"reload\" type=\"submit\" value=\"reload\" />";
const std::string kCommand =
    "<input name=\"quivocommand\" type=\"hidden\" value=\"quivoreloadcommand\" />";

TEST(KrHTMLReloadPost, WithContextIdPostsAllThreeFields) {
    KrHTMLReloadPost form("/app", "ctx42");
    EXPECT_EQ(form.ToHTMLString(),
              "<form action=\"/app\" method=\"POST\" style=\"visibility: collapse;\">\n" + kButton +
                  "\n<input name=\"quivoid\" type=\"hidden\" value=\"ctx42\" />\n" + kCommand +
                  "\n</form>");
}

TEST(KrHTMLReloadPost, WithoutContextIdOrActionHasButtonAndCommandOnly) {
    KrHTMLReloadPost form("", "");
    EXPECT_EQ(form.ToHTMLString(), "<form method=\"POST\" style=\"visibility: collapse;\">\n" +
                                       kButton + "\n" + kCommand + "\n</form>");
}

TEST(KrHTMLReloadPost, BelongsToThePageItIsPutInto) {
    KrHTML_Document2 page;
    ASSERT_NE(page.AddToBody(new KrHTMLReloadPost("/", "id1")), nullptr);
    const std::string html = page.ToHTMLString();
    EXPECT_NE(html.find("<body>\n<form action=\"/\" method=\"POST\""), std::string::npos) << html;
    EXPECT_NE(html.find("value=\"id1\" />\n" + kCommand + "\n</form>\n</body>"), std::string::npos)
        << html;
}

}  // namespace
