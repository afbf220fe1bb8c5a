#include "html/KrHTMLReloadPostFromChild.h"

#include <gtest/gtest.h>

namespace {

TEST(KrHTMLReloadPostFromChild, IsAPageWhoseOneScriptClicksTheParentsButton) {
    KrHTMLReloadPostFromChild page;
    EXPECT_EQ(page.ToHTMLString(),
              "<!DOCTYPE html>\n"
              "<html>\n"
              "<head>\n"
              "<meta charset=\"utf-8\" />\n"
              "</head>\n"
              "<body>\n"
              "<script type=\"text/javascript\">\n"
              "<!--\n"
              "\n"
              "parent.document.getElementById('quivoreloadbutton').click();\n"
              "//-->\n"
              "\n"
              "</script>\n"
              "</body>\n"
              "</html>");
}

}  // namespace
