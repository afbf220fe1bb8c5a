#pragma once
// What the page-context tests share: an application without listeners, a
// context on it holding a small page, and requests with posted fields.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/KrHTMLKontextN.h"
#include "app/KrPersistentAppStorage.h"
#include "app/KrQuivoApplication2.h"
#include "html/KrDocumentReader.h"
#include "html/KrHTML_Document2.h"
#include "transport/KrXRequestHeader.h"
#include "transport/KrXResponseHeader.h"

// A request to `path` carrying the posted fields, and its answer.
struct TestRequest {
    explicit TestRequest(const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& fields = {}) {
        request.path() = path;
        for (const auto& [name, value] : fields) {
            request.blocks().emplace_back();
            KrHTTPMessageBlock& block = request.blocks().back();
            block.setContent(value);
            block.fields["name"] = name;
            request.parameters()[name] = &block;
        }
        response.reset(request.makeResponse());
    }
    std::string body() {
        std::string text;
        response->body().CopyOut(text, 0, UINT64_MAX);
        return text;
    }
    KrXRequestHeader request{KR_HTTP_GET, false, KR_PROTOCOL_HTTP};
    std::unique_ptr<KrXResponseHeader> response;
};

// A page read from HTML text; the caller owns it.
inline KrHTML_Document2* PageFrom(const std::string& html) {
    auto* page = new KrHTML_Document2();
    KrDocumentReader reader;
    EXPECT_TRUE(reader.LoadHTMLString(html, page)) << html;
    return page;
}

struct KontextFixture : ::testing::Test {
    KrPersistentAppStorage storage;
    std::unique_ptr<KrQuivoApplication2> app = std::make_unique<KrQuivoApplication2>(
        &storage, std::vector<KrListenerRecord>{},
        std::map<std::string, std::string>{{"no_browser_popup", "true"}});
    std::map<std::string, std::string> options;
    // Registered with the application, which deletes it.
    KrHTMLKontextN* context = app->AddKontext(new KrHTMLKontextN(app.get(), "page1", 0, "", options, nullptr));
};
