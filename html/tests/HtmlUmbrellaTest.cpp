// Includes nothing but the umbrella header: it must bring the layers below.
#include "html/html.h"

#include <gtest/gtest.h>

TEST(HtmlUmbrella, BringsTheDocumentModelAndTheFoundation) {
    EXPECT_EQ(ConvertBackslashes("a\\b", -1), "a/b");
    EXPECT_EQ(KrURL("http://h/p").port, "80");
    KrXMLGenericElement element("e", false);
    element.SetAttribute("a", "1");
    EXPECT_EQ(element.ToXMLString(), "<e a=\"1\" />");
    KrHTML_div2 div;
    EXPECT_EQ(div.GetName(), "div");
}
