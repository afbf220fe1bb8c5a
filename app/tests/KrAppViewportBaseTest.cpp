#include "app/KrAppViewportBase.h"

#include <gtest/gtest.h>

#include "app/KrAppViewportBaseQuivoOneTwo.h"
#include "app/KrPersistentAppStorage.h"
#include "app/KrQuivoApplication2.h"
#include "app/tests/AppTestFolder.h"
#include "foundation/KrException.h"
#include "foundation/KrFileUtils.h"

namespace {

std::string runFailure(KrAppViewportBase& viewport) {
    try {
        viewport.Run(false);
    } catch (const KrException& error) {
        return error.what();
    }
    return "";
}

TEST(KrAppViewportBase, WithoutAFactoryRunFailsToCreateTheApp) {
    KrAppViewportBase viewport("XQuivoone", "quivoone");
    EXPECT_EQ(runFailure(viewport), "Can't create the app.");
    EXPECT_EQ(viewport.GetApp(), nullptr);
    EXPECT_EQ(viewport.GetAppName(true), "XQuivoone");
    EXPECT_EQ(viewport.GetAppName(false), "quivoone");
}

TEST(KrAppViewportBase, CallsTheStorageHookAndTheFactoryWithTheFlag) {
    KrPersistentAppStorage* hooked = nullptr;
    bool flagSeen = false;
    KrAppViewportBase viewport(
        "a", "b",
        [&](KrAppViewportBase* self, bool flag) {
            flagSeen = flag;
            return new KrQuivoApplication2(self->GetStorage(), {}, {});
        },
        [&](KrPersistentAppStorage& storage) { hooked = &storage; });
    EXPECT_EQ(hooked, viewport.GetStorage());
    viewport.Run(true);
    EXPECT_TRUE(flagSeen);
    ASSERT_NE(viewport.GetApp(), nullptr);
    EXPECT_EQ(viewport.GetApp()->GetStorage(), viewport.GetStorage());
}

TEST(KrAppViewportBaseQuivoOneTwo, ReadsThePortAsTheConfigurationWritesIt) {
    const std::vector<std::pair<std::string, int>> good = {
        {"8000", 8000}, {"8080abc", 8080}, {" 9000", 9000}, {"\t1", 1}, {"65535", 65535},
        {"00080", 80}};
    for (const auto& [text, port] : good)
        EXPECT_EQ(KrAppViewportBaseQuivoOneTwo::ParsePort(text), port) << text;
    for (const std::string text : {"", "abc", "-1", "+80", "0", "65536", "123456789012345678901"}) {
        try {
            KrAppViewportBaseQuivoOneTwo::ParsePort(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const KrException& error) {
            EXPECT_EQ(std::string(error.what()),
                      "invalid port '" + text +
                          "' in ./quivoone.xml: expected a number from 1 to 65535");
        }
    }
}

TEST(KrAppViewportBaseQuivoOneTwo, FillsTheOptionsFromTheConfiguration) {
    AppTestFolder folder;
    {
        KrAppViewportBaseQuivoOneTwo viewport("XQuivoone", "quivoone", "");
        viewport.CreateApp(false);
        const auto options = viewport.GetApp()->GetOptions();
        EXPECT_EQ(options.at("no_standard_handler"), "true");
        EXPECT_EQ(options.at("no_browser_popup"), "true");
        EXPECT_EQ(options.at("_baseDirectoryHTTP"), CurrentDirectory());
        EXPECT_EQ(options.at("cgibinpath"), "");
    }
    AppTestFolder::Write("quivoone.xml",
                         "<quivoone><quivooneservercgibin path=\"cgi-bin\"/>"
                         "<quivooneserver port=\"8080abc\"/></quivoone>");
    KrAppViewportBaseQuivoOneTwo viewport("XQuivoone", "quivoone", "/srv");
    viewport.CreateApp(true);
    const auto options = viewport.GetApp()->GetOptions();
    EXPECT_EQ(options.at("_baseDirectoryHTTP"), "/srv");
    EXPECT_EQ(options.at("cgibinpath"), "/srv/cgi-bin");
}

TEST(KrAppViewportBaseQuivoOneTwo, ABadPortCreatesNoApplication) {
    AppTestFolder folder;
    AppTestFolder::Write("quivoone.xml", "<quivoone><quivooneserver port=\"http\"/></quivoone>");
    KrAppViewportBaseQuivoOneTwo viewport("XQuivoone", "quivoone", "");
    EXPECT_THROW(viewport.Run(false), KrException);
    EXPECT_EQ(viewport.GetApp(), nullptr);
}

}  // namespace
