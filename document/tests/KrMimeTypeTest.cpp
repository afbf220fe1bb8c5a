#include "document/KrMimeType.h"

#include <gtest/gtest.h>

TEST(KrMimeTypeTable, EveryRowTranslatesBothWays) {
    struct Row {
        KrMimeType value;
        const char* name;
        const char* mime;
    };
    const Row rows[] = {
        {KR_MIME_TYPE_NONE, "KR_MIME_TYPE_NONE", "application/octet-stream"},
        {KR_MIME_TYPE_TEXT_HTML, "KR_MIME_TYPE_TEXT_HTML", "text/html"},
        {KR_MIME_TYPE_TEXT_JAVASCRIPT, "KR_MIME_TYPE_TEXT_JAVASCRIPT", "text/javascript"},
        {KR_MIME_TYPE_TEXT_CSS, "KR_MIME_TYPE_TEXT_CSS", "text/css"},
        {KR_MIME_TYPE_IMAGE_PNG, "KR_MIME_TYPE_IMAGE_PNG", "image/png"},
        {KR_MIME_TYPE_IMAGE_JPEG, "KR_MIME_TYPE_IMAGE_JPEG", "image/jpeg"},
        {KR_MIME_TYPE_IMAGE_X_ICON, "KR_MIME_TYPE_IMAGE_X_ICON", "image/x-icon"},
    };
    KrMimeTypeTable table;
    int expectedValue = 0;
    for (const Row& row : rows) {
        EXPECT_EQ(static_cast<int>(row.value), expectedValue++);
        EXPECT_EQ(table.Name(row.value), row.name);
        EXPECT_EQ(table.MimeString(row.value), row.mime);
        EXPECT_EQ(table.ValueOf(row.mime), row.value) << row.mime;
    }
}

TEST(KrMimeTypeTable, UnknownKeysGiveDefaultsAndStayThat) {
    const KrMimeTypeTable table;  // lookups must not need to insert
    EXPECT_EQ(table.ValueOf("TEXT/CSS"), KR_MIME_TYPE_NONE);
    EXPECT_EQ(table.ValueOf("image/gif"), KR_MIME_TYPE_NONE);
    EXPECT_EQ(table.MimeString(7), "");
    EXPECT_EQ(table.Name(-1), "");
    EXPECT_EQ(table.Name(-1), "");
    EXPECT_EQ(table.MimeString(7), "");
    // The known rows are untouched by the lookups above.
    EXPECT_EQ(table.ValueOf("text/css"), KR_MIME_TYPE_TEXT_CSS);
}

TEST(ContentTypeOfFile, NamesTheTypeOfEachExtensionAnyCase) {
    const std::pair<const char*, const char*> rows[] = {
        {"a/page.html", "text/html; charset=utf-8"},
        {"notes.md", "text/markdown; charset=utf-8"},
        {"README.MD", "text/markdown; charset=utf-8"},
        {"fonts/icons.eot", "application/vnd.ms-fontobject"},
        {"fonts/icons.woff2", "font/woff2"},
        {"Photo.JPeG", "image/jpeg"},
        {"archive.tar.gz", "application/octet-stream"},
        {"no-extension", "application/octet-stream"},
        {"trailing.", "application/octet-stream"},
        {"dir.css/file", "application/octet-stream"},  // a dot in a folder name is no extension
        {".md", "text/markdown; charset=utf-8"},
        {"x.markdownish", "application/octet-stream"},  // longer than any known extension
        {"", "application/octet-stream"},
    };
    for (const auto& [path, type] : rows)
        EXPECT_STREQ(ContentTypeOfFile(path), type) << path;
}
