#include "document/KrXMLGenericElement.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "document/KrXMLDatum.h"
#include "document/KrXMLGenericText.h"
#include "document/KrXMLGenericWhitespace.h"
#include "document/KrXMLNumericKrAttributes.h"
#include "document/KrXMLStringKrAttribute.h"
#include "document/KrXML_Comment2.h"
#include "document/KrXML_Declaration2.h"
#include "document/KrXML_Document2.h"
#include "document/KrXML_ProcInst2.h"

namespace {

std::string writeOf(KrXMLComplexElement& element) {
    std::ostringstream out;
    element.Write(out);
    EXPECT_EQ(element.ToXMLString(1), out.str());
    return out.str();
}

// Marks where the hooks write.
class Hooked : public KrXMLGenericElement {
  public:
    explicit Hooked(const std::string& name) : KrXMLGenericElement(name, true) {}
    void BeforeWrite(std::ostream& out) override { out << "[bw]"; }
    void AfterOpenTag(std::ostream& out) override { out << "[ao]"; }
    void BeforeCloseTag(std::ostream& out) override { out << "[bc]"; }
};

class Typed : public KrXMLGenericElement {
  public:
    Typed() : KrXMLGenericElement("t", true) {
        RegisterAttribute("s", &s);
        RegisterAttribute("d", &d);
    }
    KrXMLStringKrAttribute s;
    KrXMLDoubleKrAttribute d;
};

}  // namespace

TEST(KrXMLWriter, WorkedExample) {
    KrXMLGenericElement p("p", true);
    p.SetAttribute("class", "x");
    p.AdoptAttribute("hidden", nullptr);
    KrXMLComplexElement* b = p.AddChild(new KrXMLGenericElement("b", true));
    b->AddChild(new KrXMLGenericText("t"));
    p.AddChild(new KrXMLGenericText("u"));
    auto* br = new KrXMLGenericElement("br", true);
    br->SetEmptyElement(true);
    p.AddChild(br);
    EXPECT_EQ(writeOf(p), "<p class=\"x\" hidden>\n<b>t</b>u<br />\n</p>");
}

TEST(KrXMLWriter, NewlineRuleBetweenChildren) {
    KrXMLGenericElement root("r", false);
    root.AddChild(new KrXMLGenericElement("a", true));
    root.AddChild(new KrXMLGenericElement("b", true));
    EXPECT_EQ(writeOf(root), "<r>\n<a />\n<b />\n</r>");

    KrXMLGenericElement text("r", true);
    text.AddChild(new KrXMLGenericText("only"));
    EXPECT_EQ(writeOf(text), "<r>only</r>");

    // Whitespace and comments suppress the line feeds on both sides.
    KrXMLGenericElement mixed("r", true);
    mixed.AddChild(new KrXMLGenericElement("a", true));
    mixed.AddChild(new KrXMLGenericWhitespace(" "));
    mixed.AddChild(new KrXML_Comment2("c"));
    mixed.AddChild(new KrXMLGenericElement("b", true));
    EXPECT_EQ(writeOf(mixed), "<r>\n<a /> <!--c--><b />\n</r>");
}

TEST(KrXMLWriter, CollapsingAndHooks) {
    Hooked collapsed("c");
    EXPECT_EQ(writeOf(collapsed), "[bw]<c />");
    Hooked open("o");
    open.SetCollapsible(false);
    EXPECT_EQ(writeOf(open), "[bw]<o>[ao][bc]</o>");
    open.AddChild(new KrXMLGenericText("x"));
    EXPECT_EQ(writeOf(open), "[bw]<o>[ao]x[bc]</o>");
}

TEST(KrXMLWriter, AttributesInByteOrderAndUnsetOnesLeftOut) {
    Typed e;
    e.SetAttribute("b", "2");
    e.SetAttribute("Z", "1");
    e.SetAttribute("a", "");
    EXPECT_EQ(writeOf(e), "<t Z=\"1\" a=\"\" b=\"2\" />");
    e.s.Set("");
    e.d.Set(1.0 / 3.0);
    EXPECT_EQ(writeOf(e), "<t Z=\"1\" a=\"\" b=\"2\" d=\"0.333333\" s=\"\" />");
}

TEST(KrXMLWriter, QuoteInAttributeValueCannotEndTheValue) {
    KrXMLGenericElement e("a", true);
    e.SetAttribute("title", "say \"hi\" & <go>");
    e.SetAttribute("plain", "a&b<c>'d'");
    EXPECT_EQ(writeOf(e), "<a plain=\"a&b<c>'d'\" title=\"say &quot;hi&quot; & <go>\" />");
    // Lookups still see the value as stored.
    EXPECT_TRUE(e.AttributeEquals("title", "say \"hi\" & <go>"));
}

TEST(KrXMLWriter, TypedValuesAreNotShapedByCallerStreamFlags) {
    Typed e;
    e.d.Set(3.14159265);
    std::ostringstream out;
    out << std::hex << std::showpos;
    out.precision(2);
    e.Write(out);
    EXPECT_EQ(out.str(), "<t d=\"3.14159\" />");
}

TEST(KrXMLWriter, NodeKindsWriteTheirOwnForms) {
    KrXML_Document2 doc("xmldocument");
    doc.AddChild(new KrXML_Declaration2("xml version=\"1.0\""));
    KrXMLComplexElement* root = doc.AddChild(new KrXMLGenericElement("root", true));
    root->AddChild(new KrXML_ProcInst2("pi x"));
    root->AddChild(new KrXMLGenericText("a<b"));
    EXPECT_EQ(writeOf(doc), "<?xml version=\"1.0\"?><root><?pi x?>a<b</root>");
    EXPECT_EQ(doc.GetName(), "xmldocument");
    EXPECT_FALSE(doc.WantsNewline());
}

TEST(KrXMLWriter, ComplexElementWritesWithoutLineFeeds) {
    KrXMLComplexElement root("r", false, true);
    root.AddChild(new KrXMLGenericElement("a", true));
    root.AddChild(new KrXMLGenericElement("b", true));
    EXPECT_EQ(writeOf(root), "<r><a /><b /></r>");
}
