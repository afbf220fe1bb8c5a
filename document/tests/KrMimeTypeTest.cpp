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
