#include "app/KrHTMLKontextN.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "app/KrStringStorage.h"
#include "app/tests/KontextTestSupport.h"
#include "foundation/KrException.h"
#include "html/KrHTMLTagClasses.h"
#include "transport/tests/HttpTestServer.h"

namespace {

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(KontextFixture, StampingGivesEveryFormTheIdAndGeometry) {
    context->SetDocument(PageFrom(
        "<html><head></head><body>"
        "<form id=\"f1\" action=\"a\"><input type=\"hidden\" name=\"quivoid\" value=\"old\" /></form>"
        "<div><form id=\"f2\" action=\"b\"><input type=\"text\" name=\"q\" /></form></div>"
        "</body></html>"));
    context->StampDocument("id\"</script>");
    const std::string html = context->RenderPage();
    EXPECT_NE(html.find("quivoid=\"id\\\"<\\/script>\";"), std::string::npos) << html;
    // The existing field is set, the other form gets one: two in all, none left "old".
    EXPECT_EQ(Count(html, "name=\"quivoid\""), 2u) << html;
    EXPECT_EQ(html.find("\"old\""), std::string::npos);
    EXPECT_EQ(Count(html, "value=\"id&quot;</script>\""), 2u) << html;
    EXPECT_EQ(Count(html, "name=\"quivogeometry\""), 2u);
    EXPECT_EQ(Count(html, "value=\"empty\""), 2u);
    // Stamping again changes values, adds no fields.
    context->StampDocument("next");
    EXPECT_EQ(Count(context->RenderPage(), "name=\"quivoid\""), 2u);
    EXPECT_EQ(Count(context->RenderPage(), "value=\"next\""), 2u);
}

TEST_F(KontextFixture, CommandFormsAreNumberedAndPostTheId) {
    context->SetDocument(PageFrom(
        "<html><body><button name=\"save\">s</button><a name=\"open\">o</a></body></html>"));
    EXPECT_TRUE(context->AddCommandForm("save", 0));
    EXPECT_FALSE(context->AddCommandForm("missing", 0));
    EXPECT_TRUE(context->AddCommandForm("open", 0));
    EXPECT_TRUE(context->AddCommandForm("save", 0));
    const std::string html = context->RenderPage();
    for (const char* name : {"formcommand0", "formcommand1", "formcommand2"})
        EXPECT_NE(html.find(std::string("id=\"") + name + "\""), std::string::npos) << name;
    EXPECT_EQ(html.find("formcommand3"), std::string::npos);
    EXPECT_NE(html.find("onclick=\"javascript:document.forms['formcommand2'].submit();\""),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("action=\"open\""), std::string::npos);
    EXPECT_EQ(Count(html, "value=\"page1\""), 3u);
}

TEST_F(KontextFixture, NamesAndId) {
    KrHTMLKontextN unnamed(app.get(), "", 0, "", options, nullptr);
    EXPECT_EQ(unnamed.GetId(), "");
    unnamed.AddName("");
    EXPECT_TRUE(unnamed.GetNames().empty());
    context->AddName("zeta");
    EXPECT_EQ(context->GetId(), "page1");
    context->AddName("alpha");
    EXPECT_EQ(context->GetId(), "alpha");
    EXPECT_EQ(context->GetNames().size(), 3u);
    EXPECT_EQ(context->GetScheduler(), app->GetScheduler());
    try {
        KrHTMLKontextN orphan(nullptr, "x", 0, "", options, nullptr);
        ADD_FAILURE() << "constructed without an application";
    } catch (const KrException& error) {
        EXPECT_STREQ(error.what(), "App must be defined, but is nullptr");
    }
}

TEST_F(KontextFixture, RequestsAreRoutedByPath) {
    std::vector<std::string> seen;
    context->GetHandlers()["/x"] = [&](KrXHeader&, KrXResponseHeader& response, std::string c) {
        seen.push_back("x:" + c);
        response.setContent("x");
    };
    context->GetHandlers()["/boom"] = [](KrXHeader&, KrXResponseHeader& response, std::string) {
        response.setContent("half");
        throw std::runtime_error("handler failed");
    };
    struct Row {
        std::string path, handlerPath;
        unsigned long status;
        std::string body;
    };
    const Row rows[] = {
        {"/x", "", 200, "x"},
        {"/X", "", 500, ""},           // paths compare exactly
        {"/y", "", 500, ""},           // no handler: untouched
        {"/y", "/x", 200, "x"},        // the handler path wins
        {"/boom", "", 200, ""},        // a failed handler: nothing changed
        {"/x", "", 200, "x"},          // and the next request is served
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path + " " + row.handlerPath);
        TestRequest request(row.path);
        request.request.setHandlerPath(row.handlerPath);
        app->DispatchToKontext("page1", request.request, *request.response, "c");
        EXPECT_EQ(request.response->status(), row.status);
        EXPECT_EQ(request.body(), row.body);
    }
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(KontextFixture, WithoutAPageNothingIsDereferenced) {
    EXPECT_EQ(context->GetDocument(), nullptr);
    EXPECT_EQ(context->GetBody(), nullptr);
    EXPECT_EQ(context->GetHead(), nullptr);
    EXPECT_EQ(context->RenderPage(), "");
    EXPECT_FALSE(context->AddCommandForm("x", 0));
    context->_addUpdateScript(nullptr, "page1", "r");
    EXPECT_THROW(context->StampDocument("x"), KrException);
    TestRequest request("/");
    app->DispatchToKontext("page1", request.request, *request.response, "");
    EXPECT_EQ(request.response->status(), 200u);
    EXPECT_EQ(request.body(), "");
}

TEST_F(KontextFixture, PagesLoadFromResourcesOrFiles) {
    std::map<std::string, KrStringStorage> resources;
    resources["start.html"] = KrStringStorage("start.html", 1, "<html><body><p>[[nothing]]</p></body></html>", false);
    EXPECT_TRUE(context->LoadDocument("start.html", resources));
    EXPECT_NE(context->GetBody(), nullptr);
    EXPECT_NE(context->RenderPage().find("<p>"), std::string::npos);
    // A file that cannot be read leaves an empty page.
    options["startpath"] = "/nonexistent-quivo-dir";
    context->LoadDocument("missing.html", resources);
    ASSERT_NE(context->GetDocument(), nullptr);
    EXPECT_EQ(context->RenderPage().find("<p>"), std::string::npos);
}

TEST_F(KontextFixture, UpdateScriptStartsPollingForTheReference) {
    context->SetDocument(PageFrom("<html><head></head><body></body></html>"));
    context->_addUpdateScript(context->GetDocument(), "page\"1", "ref</script>");
    const std::string html = context->RenderPage();
    EXPECT_NE(html.find("quivoid = \"page\\\"1\";"), std::string::npos);
    EXPECT_NE(html.find("twymtupdatepagename = \"/\";"), std::string::npos);
    EXPECT_NE(html.find("twymtupdate(\"ref<\\/script>\");"), std::string::npos) << html;
    EXPECT_NE(html.find("async=\"yes\""), std::string::npos);
    EXPECT_EQ(Count(html, "</script>"), Count(html, "<script"));
}

// The head of `response` as the server writes it to the connection.
std::string WrittenHead(KrXResponseHeader& response) {
    std::ostringstream out;
    EXPECT_TRUE(response.write(out));
    return out.str();
}

TEST_F(KontextFixture, PagesGoOutAsUtf8HtmlAndScriptAnswersDoNot) {
    context->SetDocument(PageFrom("<html><body><button id=\"b1\">b</button></body></html>"));
    std::map<std::string, std::string> none;
    context->GetWidgetManager().AddHandler(
        "b1", context, "onclick", [](std::string, KrXHeader&) { return std::string("x();"); },
        none);
    struct Row {
        const char* what;
        std::string path;
        std::vector<std::pair<std::string, std::string>> fields;
        std::string command;
        bool fresh;  // the first request of a new context, as "/" without a quivoid makes it
        bool page;
    };
    const Row rows[] = {
        {"the page", "/", {}, "", false, true},
        {"a fresh context's page", "/", {}, "&new", true, true},
        {"a command to the page", "/", {}, "go", false, true},
        {"an update poll", "/", {{"reference", "r1"}}, "twymtupdate", false, false},
        {"a widget handler's script",
         "/quivowidget.handler",
         {{"quivoaction", "onclick"}, {"quivoactionelement", "b1"}},
         "",
         false,
         false},
    };
    const std::string pageType = "\r\nContent-Type: text/html; charset=utf-8\r\n";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TestRequest request(row.path, row.fields);
        if (row.fresh)
            app->HandleKontextRequest(*context, request.request, *request.response, row.command);
        else
            app->DispatchToKontext("page1", request.request, *request.response, row.command);
        ASSERT_EQ(request.response->status(), 200u);
        const std::string head = WrittenHead(*request.response);
        EXPECT_EQ(head.find(pageType) != std::string::npos, row.page) << head;
        if (row.page) {
            EXPECT_NE(request.body().find("<button id=\"b1\""), std::string::npos);
        }
    }
}

// A POST of urlencoded fields to `path`.
std::string Post(const std::string& path, const std::string& fields) {
    return "POST " + path + " HTTP/1.1\r\nHost: test\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(fields.size()) + "\r\n\r\n" + fields;
}

TEST_F(KontextFixture, OverHttpFailuresAnswerAndTheConnectionServesOn) {
    context->SetDocument(PageFrom("<html><body><button id=\"b1\">b</button></body></html>"));
    context->GetHandlers()["/boom"] = [](KrXHeader&, KrXResponseHeader&, std::string) {
        throw std::runtime_error("handler failed");
    };
    std::map<std::string, std::string> none;
    context->GetWidgetManager().AddHandler(
        "b1", context, "onclick",
        [](std::string, KrXHeader&) -> std::string { throw std::logic_error("widget failed"); },
        none);
    context->GetUpdateRegistry().AddUpdater("s", "r1", [](const std::string&) -> long {
        throw std::runtime_error("updater failed");
    });
    httptest::Server server({}, 3, [this](auto callback, const auto& serverOptions) {
        return std::make_shared<KrTransceiverClient>(callback, serverOptions, app.get());
    });
    const unsigned port = server.waitListening();
    ASSERT_NE(port, 0u);
    const int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    httptest::SendAll(fd, Post("/boom", "quivoid=page1"));
    httptest::SendAll(fd, Post("/quivowidget.handler",
                               "quivoid=page1&quivoaction=onclick&quivoactionelement=b1"));
    httptest::SendAll(fd, Post("/", "quivocommand=twymtupdate&reference=r1&quivoid=page1"));
    httptest::SendAll(fd, Post("/", "quivoid=page1"));
    const std::string answers = httptest::Answers(fd, 4);
    ::close(fd);
    EXPECT_EQ(httptest::CountAnswers(answers), 4u) << answers;
    EXPECT_EQ(Count(answers, "HTTP/1.1 200"), 4u) << answers;
    EXPECT_NE(answers.find("Content-Length: 0\r\n"), std::string::npos);
    EXPECT_NE(answers.find("// the handler for b1/onclick failed; nothing changed."),
              std::string::npos);
    EXPECT_NE(answers.find("twymtfim=\"sim\""), std::string::npos);
    EXPECT_NE(answers.find("<button id=\"b1\""), std::string::npos);
}

TEST_F(KontextFixture, APageGetsTheFieldsAndPartsOfABodyTooLargeToKeepInMemory) {
    const std::string file(1 << 20, 'f');
    context->GetHandlers()["/upload"] = [&file](KrXHeader& request, KrXResponseHeader& response,
                                                std::string) {
        std::string got;
        std::string note;
        request.getParameter("file", got);
        request.getParameter("note", note);
        KrHTTPMessageBlock* block = request.parameters()["file"];
        response.setContent(std::to_string(got.size()) + " " + (got == file ? "same" : "other") +
                            " " + note + " " + (block ? block->fields["mimetype"] : "-"));
    };
    httptest::Server server({}, 3, [this](auto callback, const auto& serverOptions) {
        return std::make_shared<KrTransceiverClient>(callback, serverOptions, app.get());
    });
    const unsigned port = server.waitListening();
    ASSERT_NE(port, 0u);
    const std::string multipart =
        "--b1\r\nContent-Disposition: form-data; name=\"quivoid\"\r\n\r\npage1\r\n"
        "--b1\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi there\r\n"
        "--b1\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n" +
        file + "\r\n--b1--\r\n";
    const std::pair<std::string, std::string> posts[] = {
        {"multipart/form-data; boundary=b1", multipart},
        {"application/x-www-form-urlencoded", "note=hi+there&file=" + file + "&quivoid=page1"},
    };
    // A form's pair is typed as a part without a type is.
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(posts[i].first);
        const int fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        httptest::SendAll(fd, "POST /upload HTTP/1.1\r\nHost: test\r\nContent-Type: " +
                                  posts[i].first + "\r\nContent-Length: " +
                                  std::to_string(posts[i].second.size()) + "\r\n\r\n" +
                                  posts[i].second);
        const std::string answer = httptest::Answers(fd, 1);
        ::close(fd);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 200 OK") << answer;
        EXPECT_EQ(httptest::DecodedBody(answer), "1048576 same hi there application/octet-stream");
    }
}

TEST(ColourTextTest, ColoursEachCharacterInTurn) {
    const std::string abcde = ColourText("abcde");
    EXPECT_EQ(Count(abcde, "<span"), 5u);
    EXPECT_EQ(abcde.find("<span style=\"color : #083cc1; font-style : oblique;\">a</span>\n"), 0u);
    EXPECT_NE(abcde.find("#083cc1; font-style : oblique;\">e</span>"), std::string::npos);
    EXPECT_NE(abcde.find("#7b3b81; font-style : oblique;\">d</span>"), std::string::npos);
    EXPECT_NE(ColourText("a b").find(">&nbsp;</span>"), std::string::npos);
    EXPECT_NE(ColourText("<").find(">&lt;</span>"), std::string::npos);
    EXPECT_EQ(ColourText(""), "");
    // A multi-byte character stays whole in one span.
    EXPECT_EQ(Count(ColourText("\xC3\xA9t\xC3\xA9"), "<span"), 3u);
}

}  // namespace
