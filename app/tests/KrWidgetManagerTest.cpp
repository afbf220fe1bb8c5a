#include "app/KrWidgetManager.h"

#include <gtest/gtest.h>

#include "app/tests/KontextTestSupport.h"
#include "html/KrHTML_div2.h"
#include "html/KrHTML_html2.h"

namespace {

struct WidgetFixture : KontextFixture {
    WidgetFixture() {
        context->SetDocument(PageFrom(
            "<html><head></head><body><div id=\"box\"><button id=\"b1\">go</button></div>"
            "<p id=\"p1\">text</p></body></html>"));
    }
    KrWidgetManager& widgets = context->GetWidgetManager();
    std::map<std::string, std::string> noOptions;

    // Registers a handler answering `answer` on the element with that id.
    std::string handle(const std::string& id, const std::string& action,
                       const std::string& answer = "") {
        return widgets.AddHandler(id, context, action,
                                  [answer](std::string, KrXHeader&) { return answer; }, noOptions);
    }
    std::string post(const std::vector<std::pair<std::string, std::string>>& fields) {
        TestRequest poll("/quivowidget.handler", fields);
        app->DispatchToKontext("page1", poll.request, *poll.response, "");
        EXPECT_EQ(poll.response->status(), 200u);
        return poll.body();
    }
    std::string page() { return context->RenderPage(); }
};

// Text that must reach the page as text, and its string-literal form.
struct Hostile {
    std::string text;
    std::string literal;
};
const std::vector<Hostile> kHostile = {
    {"plain", "plain"},
    {"a\"b", "a\\\"b"},
    {"it's", "it\\'s"},
    {"back\\slash", "back\\\\slash"},
    {"line\nbreak\r", "line\\nbreak\\r"},
    {"</script><script>alert(1)</script>", "<\\/script><script>alert(1)<\\/script>"},
    {"<!--x", "<\\!--x"},
    {"a\xE2\x80\xA8" "b\xE2\x80\xA9", "a\\u2028b\\u2029"},
};

TEST_F(WidgetFixture, AnswersEscapeEveryInsertedText) {
    for (const Hostile& row : kHostile) {
        SCOPED_TRACE(row.text);
        auto* element = new KrHTML_div2(row.text, false);
        context->GetDocument()->AddToBody(element);
        const std::string id = row.literal;
        EXPECT_EQ(handle(row.text, "onclick"),
                  "document.getElementById(\"" + id +
                      "\").setAttribute(\"onclick\",\"quivowidgethandler(this, \\'onclick\\');\");\n");
        EXPECT_EQ(widgets.SetAttribute(row.text, "title", row.text),
                  "document.getElementById(\"" + id + "\").setAttribute(\"title\",\"" +
                      row.literal + "\");\n");
        EXPECT_EQ(element->GetAttributeString("title", "?"), row.text);
        EXPECT_EQ(widgets.SetInnerHTML(row.text, row.text),
                  "document.getElementById(\"" + id + "\").innerHTML=\"" + row.literal + "\";\n");
        EXPECT_EQ(widgets.ClearAttribute(row.text, "onclick"),
                  "document.getElementById(\"" + id + "\").setAttribute(\"onclick\",\"\");\n");
        EXPECT_EQ(widgets.RemoveElement(row.text, context),
                  "{\nvar elem = document.getElementById(\"" + id +
                      "\");\nelem.parentElement.removeChild(elem);\n}\n");
        // A posted id that names nothing comes back only inside the comment line.
        const std::string answer = post({{"quivoactionelement", row.text}, {"quivoaction", "x"}});
        EXPECT_EQ(answer, "// QuivoWidget handler\n// a handler for " + row.literal +
                              "/x was not found.\n");
    }
}

TEST_F(WidgetFixture, UnknownIdsAndActionsChangeNothing) {
    const std::string before = page();
    EXPECT_EQ(handle("missing", "onclick"), "");
    EXPECT_EQ(widgets.SetAttribute("missing", "a", "b"), "");
    EXPECT_EQ(widgets.SetInnerHTML("b1", "x"), "");
    EXPECT_EQ(widgets.RemoveElement("b1", context), "");
    EXPECT_EQ(post({}), "// QuivoWidget handler\n// a handler for nix/nix was not found.\n");
    handle("b1", "onclick");
    // The element carries the attribute, but no handler is registered for it.
    context->GetDocument()->FindElementByAttribute("id", "b1")->SetAttribute("title", "t");
    EXPECT_EQ(widgets.ClearAttribute("b1", "title"), "");
    EXPECT_EQ(widgets.FindEntry("missing").name, "quivodummy");
    EXPECT_EQ(widgets.IdOf(nullptr), "quivodummy");
    EXPECT_NE(before, page());  // the widget script and form went in once
}

TEST_F(WidgetFixture, HandlersRunByElementAndAction) {
    std::string seen;
    widgets.AddHandler("b1", context, "onclick",
                       [&](std::string param1, KrXHeader&) {
                           seen = param1;
                           return widgets.SetInnerHTML("p1", "done");
                       },
                       noOptions);
    handle("b1", "onmousedown", "second();");
    handle("p1", "onclick");
    EXPECT_EQ(post({{"quivoid", "page1"},
                    {"quivoaction", "onclick"},
                    {"quivoactionelement", "b1"},
                    {"quivoactionparam1", "42"}}),
              "// QuivoWidget handler\ndocument.getElementById(\"p1\").innerHTML=\"done\";\n");
    EXPECT_EQ(seen, "42");
    EXPECT_NE(page().find(">done</p>"), std::string::npos);
    handle("b1", "onclick", "replaced();");
    EXPECT_EQ(post({{"quivoaction", "onclick"}, {"quivoactionelement", "b1"}}),
              "// QuivoWidget handler\nreplaced();");
    EXPECT_EQ(post({{"quivoaction", "onmousedown"}, {"quivoactionelement", "b1"}}),
              "// QuivoWidget handler\nsecond();");

    const std::string html = page();
    EXPECT_NE(html.find("onclick=\"quivowidgethandler(this, 'onclick');\""), std::string::npos);
    EXPECT_EQ(html.find("id=\"quivowidget\""), html.rfind("id=\"quivowidget\""));
    EXPECT_NE(html.find("<input type=\"hidden\" name=\"quivoid\" value=\"page1\" />"),
              std::string::npos);
}

TEST_F(WidgetFixture, SilentHandlersLeaveTheElementAlone) {
    std::map<std::string, std::string> options;
    EXPECT_EQ(widgets.AddHandlerSilent("b1", context, "onclick",
                                       [](std::string, KrXHeader&) { return "ran();"; }, options),
              "");
    EXPECT_EQ(options["silent"], "true");
    EXPECT_EQ(page().find("quivowidgethandler(this"), std::string::npos);
    EXPECT_EQ(post({{"quivoaction", "onclick"}, {"quivoactionelement", "b1"}}),
              "// QuivoWidget handler\nran();");
}

TEST_F(WidgetFixture, AThrowingHandlerAnswersNothingChangedAndTheNextPostIsServed) {
    widgets.AddHandler("b1", context, "onclick",
                       [](std::string, KrXHeader&) -> std::string { throw std::runtime_error("x"); },
                       noOptions);
    handle("p1", "onclick", "fine();");
    EXPECT_EQ(post({{"quivoaction", "onclick"}, {"quivoactionelement", "b1"}}),
              "// QuivoWidget handler\n// the handler for b1/onclick failed; nothing changed.\n");
    EXPECT_EQ(post({{"quivoaction", "onclick"}, {"quivoactionelement", "p1"}}),
              "// QuivoWidget handler\nfine();");
}

TEST_F(WidgetFixture, FreedElementsAreForgotten) {
    handle("b1", "onclick", "b();");
    handle("box", "onclick", "box();");
    // Replacing the content of box frees b1.
    EXPECT_NE(widgets.SetInnerHTML("box", "<i>new</i>"), "");
    EXPECT_EQ(widgets.SetAttribute("b1", "title", "x"), "");
    EXPECT_EQ(post({{"quivoaction", "onclick"}, {"quivoactionelement", "b1"}}),
              "// QuivoWidget handler\n// a handler for b1/onclick was not found.\n");
    EXPECT_EQ(widgets.IdOf(nullptr), "quivodummy");

    // A new page frees the old one with every element the manager kept.
    context->SetDocument(PageFrom("<html><body><p id=\"box\">other</p></body></html>"));
    EXPECT_EQ(widgets.GetDocument(), nullptr);
    EXPECT_EQ(widgets.SetAttribute("box", "title", "x"), "");
    EXPECT_EQ(post({{"quivoaction", "onclick"}, {"quivoactionelement", "box"}}),
              "// QuivoWidget handler\n// a handler for box/onclick was not found.\n");
    // Binding to the new page works as on the first one.
    EXPECT_NE(handle("box", "onclick", "again();"), "");
    EXPECT_EQ(post({{"quivoaction", "onclick"}, {"quivoactionelement", "box"}}),
              "// QuivoWidget handler\nagain();");
}

TEST_F(WidgetFixture, AManagerOutlivingItsContextKeepsNoPointerIntoIt) {
    KrWidgetManager other;
    auto* doomed = new KrHTMLKontextN(app.get(), "doomed", 0, "", options, nullptr);
    doomed->SetDocument(PageFrom("<html><body><b id=\"x\">x</b></body></html>"));
    EXPECT_NE(other.AddHandler("x", doomed, "onclick",
                               [](std::string, KrXHeader&) { return ""; }, noOptions),
              "");
    auto* content = new KrHTML_div2("dialog", false);
    EXPECT_NE(other.ShowModal("dialog", content, doomed), "");
    delete doomed;
    EXPECT_EQ(other.GetDocument(), nullptr);
    EXPECT_EQ(other.ModalCount(), 0u);
    EXPECT_EQ(other.SetAttribute("x", "a", "b"), "");
    EXPECT_EQ(other.RemoveElement("dialog", nullptr), "");
}

TEST_F(WidgetFixture, AForgottenModalLeavesNoMarkInThePage) {
    {
        KrWidgetManager other;
        auto* content = new KrHTML_div2("dialog", false);
        EXPECT_NE(other.ShowModal("dialog", content, context), "");
        delete content;  // freed from the page: the modal is forgotten
        EXPECT_EQ(other.ModalCount(), 0u);
        EXPECT_EQ(other.RemoveElement("dialog", context), "");
    }
    // Cover and box are still in the page; freeing them must not reach the
    // manager that is gone (the sanitizer build checks).
    EXPECT_NE(page().find("modallock1000"), std::string::npos);
    context->SetDocument(nullptr);
}

TEST_F(WidgetFixture, OperationsWithoutAPageDoNothing) {
    KrHTMLKontextN empty(app.get(), "empty", 0, "", options, nullptr);
    KrWidgetManager& manager = empty.GetWidgetManager();
    EXPECT_EQ(manager.AddHandler("b1", &empty, "onclick",
                                 [](std::string, KrXHeader&) { return ""; }, noOptions),
              "");
    auto content = std::make_unique<KrHTML_div2>("c", false);
    EXPECT_EQ(manager.ShowModal("c", content.get(), &empty), "");
    EXPECT_EQ(content->GetParent(), nullptr);  // still the caller's
    EXPECT_EQ(manager.ShowModal("c", content.get(), nullptr), "");
    EXPECT_EQ(manager.RemoveElement("c", &empty), "");
}

TEST_F(WidgetFixture, ModalsStackAndRemoveFromTheBody) {
    KrHTML_div2 refused;  // a refused content stays the caller's
    EXPECT_EQ(widgets.ShowModal("", &refused, context), "");
    EXPECT_EQ(refused.GetParent(), nullptr);
    EXPECT_EQ(widgets.ShowModal("m0", nullptr, context), "");
    EXPECT_EQ(widgets.ModalCount(), 0u);

    const std::string first = widgets.ShowModal("m1", new KrHTML_div2("m1", false), context);
    const std::string second = widgets.ShowModal("m2", new KrHTML_div2("m2", false), context);
    EXPECT_NE(first.find("modallock1000"), std::string::npos) << first;
    EXPECT_NE(first.find("z-index: 1001;"), std::string::npos) << first;
    // The content rides in the envelope.
    EXPECT_NE(first.find("innerHTML=\"\\n<div id=\\\"m1\\\"><\\/div>"), std::string::npos);
    EXPECT_NE(second.find("modallock1005"), std::string::npos);
    EXPECT_NE(second.find("modalenvelope1006"), std::string::npos);
    EXPECT_EQ(widgets.ModalCount(), 2u);

    // The lower modal goes: its three parts leave the page and only it leaves the stack.
    const std::string removed = widgets.RemoveElement("m1", context);
    EXPECT_EQ(removed,
              "{\nvar elem = document.getElementById(\"m1\");\nelem.parentElement.removeChild(elem);\n}\n"
              "{\nvar elem = document.getElementById(\"modallock1000\");\nelem.parentElement.removeChild(elem);\n}\n"
              "{\nvar elem = document.getElementById(\"modalenvelope1001\");\nelem.parentElement.removeChild(elem);\n}\n");
    EXPECT_EQ(widgets.ModalCount(), 1u);
    std::string html = page();
    for (const char* gone : {"\"m1\"", "modallock1000", "modalenvelope1001"})
        EXPECT_EQ(html.find(gone), std::string::npos) << gone;
    for (const char* kept : {"\"m2\"", "modallock1005", "modalenvelope1006"})
        EXPECT_NE(html.find(kept), std::string::npos) << kept;

    // A plain element leaves the page from deep inside the body; the stack stays.
    handle("b1", "onclick");
    EXPECT_EQ(widgets.RemoveElement("b1", context),
              "{\nvar elem = document.getElementById(\"b1\");\nelem.parentElement.removeChild(elem);\n}\n");
    EXPECT_EQ(widgets.ModalCount(), 1u);
    html = page();
    EXPECT_EQ(html.find("id=\"b1\""), std::string::npos);
    EXPECT_NE(html.find("id=\"box\""), std::string::npos);
}

}  // namespace
