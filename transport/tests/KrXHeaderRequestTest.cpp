#include "transport/KrXHeader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include "document/KrXMLGenericElement.h"
#include "html/KrHTML_input2_blob.h"

namespace {

const std::string kAgent = "User-Agent: brinolt/1.28.1(96)\r\n";

std::string Head(KrXHeader& header) {
    std::ostringstream out;
    EXPECT_TRUE(header.write(out));
    return out.str();
}

std::string Body(KrXHeader& header) {
    std::string out;
    header.body().CopyOut(out, 0, header.body().Length());
    return out;
}

// A form element owning its inputs; attributes are {name, value} pairs.
struct Form {
    explicit Form(const std::string& action, const std::string& method)
        : root(std::make_unique<KrXMLGenericElement>("form", true)) {
        if (!action.empty())
            root->SetAttribute("action", action);
        root->SetAttribute("method", method);
    }
    KrXMLGenericElement* input(const std::string& type, const std::string& name,
                               const std::string& value, KrXMLGenericElement* parent = nullptr) {
        auto* element = new KrXMLGenericElement("input", true);
        if (!type.empty())
            element->SetAttribute("type", type);
        if (!name.empty())
            element->SetAttribute("name", name);
        element->SetAttribute("value", value);
        return (parent ? parent : root.get())->AddChildElement(element);
    }
    std::unique_ptr<KrXMLGenericElement> root;
};

std::string Part(const std::string& boundary, const std::string& name, const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
           value + "\r\n";
}

}  // namespace

TEST(KrXHeaderRequest, AddressesBecomeRequestFields) {
    struct Row {
        std::string text, base, path, host;
        long port;
        int kind;
    };
    const Row rows[] = {
        {"http://h:8080/a/b?q=1#f", "", "/a/b", "h", 8080, KR_PROTOCOL_HTTP},
        {"http://h", "", "/", "h", 80, KR_PROTOCOL_HTTP},
        {"quivo://q/p", "", "/p", "q", 80, KR_PROTOCOL_QUIVO},
        {"https://s/x", "", "/x", "s", 443, KR_PROTOCOL_HTTPS},
        // Not a URL on its own: joined behind the base with one "/".
        {"x/y", "http://b:81/", "/x/y", "b", 81, KR_PROTOCOL_HTTP},
        {"/x/y", "http://b:81", "/x/y", "b", 81, KR_PROTOCOL_HTTP},
        // What cannot stand in a request line is percent-encoded; "%" stays.
        {"http://h/a b%41\t\x7f\xc3\xa9", "", "/a%20b%41%09%7f%c3%a9", "h", 80, KR_PROTOCOL_HTTP},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        KrXHeader request(KR_HTTP_GET, false, KR_PROTOCOL_NONE);
        request.setURL(row.text, row.base);
        EXPECT_EQ(request.path(), row.path);
        EXPECT_EQ(request.host(), row.host);
        EXPECT_EQ(request.port(), row.port);
        EXPECT_EQ(request.protocolKind(), row.kind);
        EXPECT_EQ(request.query(), "");
        EXPECT_EQ(request.direction(), KR_DIRECTION_REQUEST);
        EXPECT_EQ(request.state(), KR_JOB_READY);
        EXPECT_EQ(Head(request),
                  "GET " + row.path + " HTTP/1.1\r\nHost: " + row.host + "\r\n" + kAgent + "\r\n");
    }
}

TEST(KrXHeaderRequest, EmptyAddressAsksForTheLocalRoot) {
    KrXHeader request(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    request.setURL("", "http://ignored");
    EXPECT_EQ(request.path(), "/");
    EXPECT_EQ(request.host(), "localhost");
    EXPECT_EQ(request.direction(), KR_DIRECTION_NONE);
    EXPECT_EQ(request.state(), KR_JOB_READY);
}

TEST(KrXHeaderRequest, AddressWithoutPortThrowsAndChangesNothing) {
    // Neither the text nor base + text is an address: no port to read.
    for (const std::string text : {"nothing", "mailto:a@b", "file:///tmp/x"}) {
        SCOPED_TRACE(text);
        KrXHeader request(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
        try {
            request.setURL(text, "");
            FAIL() << "no exception";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("'" + text + "'"), std::string::npos);
        }
        EXPECT_EQ(request.path(), "");
        EXPECT_EQ(request.protocolKind(), KR_PROTOCOL_HTTP);
        EXPECT_EQ(request.direction(), KR_DIRECTION_NONE);
        EXPECT_EQ(request.state(), KR_JOB_NEW);
    }
}

TEST(KrXHeaderRequest, LinkFollowsItsHref) {
    KrXMLGenericElement link("a", true);
    KrXHeader none(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    none.setURLFromHref(link, "http://b");
    EXPECT_EQ(none.path(), "#");
    EXPECT_EQ(none.host(), "localhost");
    EXPECT_EQ(none.direction(), KR_DIRECTION_REQUEST);
    EXPECT_EQ(none.state(), KR_JOB_READY);

    link.SetAttribute("href", "page two.html");
    KrXHeader relative(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    relative.setURLFromHref(link, "http://b:9/");
    EXPECT_EQ(Head(relative), "GET /page%20two.html HTTP/1.1\r\nHost: b\r\n" + kAgent + "\r\n");
    EXPECT_EQ(relative.port(), 9);
}

TEST(KrXHeaderRequest, GetFormCarriesEncodedTextAndHiddenInputs) {
    Form form("http://h:81/go", "GET");
    form.input("text", "a", "x y");
    form.input("hidden", "b", "1");
    form.input("text", "", "nameless");
    form.input("checkbox", "c", "on");
    auto* div = form.root->AddChildElement(new KrXMLGenericElement("div", true));
    // Deeper inputs count; a line end in a value must not end the request line.
    form.input("text", "d&e", "v\r\nX-Evil: 1", div);
    KrXHeader request(KR_HTTP_ANSWER, false, KR_PROTOCOL_NONE);
    request.buildFormPost(*form.root, "");
    EXPECT_EQ(request.query(), "?a=x%20y&b=1&d%26e=v%0d%0aX%2dEvil%3a%201");
    EXPECT_EQ(request.method(), KR_HTTP_GET);
    EXPECT_EQ(request.state(), KR_JOB_READY);
    EXPECT_EQ(request.port(), 81);
    EXPECT_EQ(Head(request),
              "GET /go" + request.query() + " HTTP/1.1\r\nHost: h\r\n" + kAgent + "\r\n");
}

TEST(KrXHeaderRequest, FormsThatBuildNothing) {
    // No action: nothing changes at all.
    Form empty("", "GET");
    empty.input("text", "a", "1");
    KrXHeader request(KR_HTTP_ANSWER, false, KR_PROTOCOL_HTTP);
    request.buildFormPost(*empty.root, "http://b");
    EXPECT_EQ(request.state(), KR_JOB_NEW);
    EXPECT_EQ(request.direction(), KR_DIRECTION_NONE);
    EXPECT_EQ(request.query(), "");
    EXPECT_EQ(request.body().Size(), 0);

    // The method is compared exactly: only the address is taken.
    Form lower("http://h/p", "get");
    lower.input("text", "a", "1");
    KrXHeader other(KR_HTTP_ANSWER, false, KR_PROTOCOL_HTTP);
    other.buildFormPost(*lower.root, "");
    EXPECT_EQ(other.state(), KR_JOB_NEW);
    EXPECT_EQ(other.direction(), KR_DIRECTION_REQUEST);
    EXPECT_EQ(other.path(), "/p");
    EXPECT_EQ(other.query(), "");
    EXPECT_EQ(other.method(), KR_HTTP_ANSWER);
}

TEST(KrXHeaderRequest, UnreadableActionStillBuildsTheRequest) {
    Form form("nowhere", "GET");
    form.input("text", "a", "1");
    KrXHeader request(KR_HTTP_ANSWER, false, KR_PROTOCOL_HTTP);
    request.buildFormPost(*form.root, "");
    EXPECT_TRUE(request.urlFailed());
    EXPECT_EQ(request.query(), "?a=1");
    EXPECT_EQ(request.state(), KR_JOB_READY);
}

TEST(KrXHeaderRequest, PostFormWithOneTextInput) {
    Form form("http://h/up", "POST");
    form.input("text", "t", "v");
    KrXHeader request(KR_HTTP_ANSWER, false, KR_PROTOCOL_NONE);
    request.buildFormPost(*form.root, "");
    const std::string boundary = request.boundary();
    EXPECT_TRUE(std::regex_match(boundary, std::regex("------QuivoFormBoundary[0-9]{18}")))
        << boundary;
    const std::string body = Part(boundary, "t", "v") + "--" + boundary + "--\r\n";
    EXPECT_EQ(Body(request), body);
    EXPECT_EQ(request.bodyLength(), static_cast<long>(body.size()));
    EXPECT_EQ(request.method(), KR_HTTP_POST);
    EXPECT_EQ(request.state(), KR_JOB_READY);
    EXPECT_EQ(Head(request), "POST /up HTTP/1.1\r\nHost: h\r\n" + kAgent +
                                 "Content-Length: " + std::to_string(body.size()) +
                                 "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                                 "\r\n\r\n");
}

TEST(KrXHeaderRequest, PostFormWithoutPartsHasAnEmptyBody) {
    Form form("http://h/up", "POST");
    form.input("checkbox", "c", "on");
    KrXHeader request(KR_HTTP_ANSWER, false, KR_PROTOCOL_NONE);
    request.buildFormPost(*form.root, "");
    EXPECT_EQ(Body(request), "");
    EXPECT_EQ(request.bodyLength(), 0);
    EXPECT_EQ(Head(request),
              "POST /up HTTP/1.1\r\nHost: h\r\n" + kAgent + "Content-Length: 0\r\n\r\n");
}

TEST(KrXHeaderRequest, PostFormCarriesFilesBlobsAndSafeNames) {
    char path[] = "/tmp/quivo_form_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string bytes;
    for (int i = 0; i < 600; ++i)
        bytes += static_cast<char>(i % 256);
    std::ofstream(path, std::ios::binary) << bytes;

    Form form("http://h/up", "POST");
    form.input("file", "f", path);
    form.input("file", "gone", "/nonexistent/quivo/file");
    form.input("file", "dir", "/tmp");
    form.root->AddChildElement(new KrHTML_input2_blob("b1", std::string("\0\1\2", 3), "b"));
    // A generic element that only says "blob" has no bytes to give.
    form.input("blob", "fake", "x");
    form.input("hidden", "q\"\r\nX: y", "v");
    KrXHeader request(KR_HTTP_ANSWER, false, KR_PROTOCOL_NONE);
    request.buildFormPost(*form.root, "");
    std::remove(path);

    const std::string b = request.boundary();
    const std::string name = std::string(path).substr(5);
    const std::string expected =
        "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + name +
        "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n" + "--" + b +
        "\r\nContent-Disposition: form-data; name=\"b\"; blob\r\nContent-Type: "
        "application/octet-stream\r\n\r\n" +
        std::string("\0\1\2", 3) + "\r\n" + Part(b, "q%22%0D%0AX: y", "v") + "--" + b + "--\r\n";
    EXPECT_EQ(Body(request), expected);
    EXPECT_EQ(request.bodyLength(), static_cast<long>(expected.size()));
}

TEST(KrXHeaderRequest, FieldsSetDirectlyCannotForgeHeadLines) {
    KrXHeader request(KR_HTTP_GET, false, KR_PROTOCOL_HTTP);
    request.path() = "/a\r\nX-Evil: 1\r\n";
    request.query() = "?q=\n";
    request.host() = "h\r\nX-Other: 2";
    request.setState(KR_JOB_READY);
    EXPECT_EQ(Head(request),
              "GET /aX-Evil: 1?q= HTTP/1.1\r\nHost: hX-Other: 2\r\n" + kAgent + "\r\n");
}
