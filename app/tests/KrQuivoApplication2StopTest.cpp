#include "app/KrQuivoApplication2.h"

#include <gtest/gtest.h>

#include "app/KrPersistentAppStorage.h"
#include "programs/tests/ProgramHarness.h"

namespace {

// Stop is what lets a derived application be destroyed safely: after it, no
// listener accepts and no request job can call into the application.
TEST(KrQuivoApplication2Stop, TakesTheTransportDownOnceAndLeavesRunInert) {
    KrPersistentAppStorage storage;
    const int port = harness::freePort();
    KrQuivoApplication2 app(&storage, {{"127.0.0.1", port, 3}}, {{"no_browser_popup", "true"}});
    app.Run();
    // The listener opens on a job of its own after Run returned.
    ASSERT_TRUE(harness::waitListening(port));
    ASSERT_NE(app.GetTransceiver(), nullptr);

    app.Stop();
    EXPECT_EQ(app.GetTransceiver(), nullptr);
    EXPECT_FALSE(harness::listening(port));
    app.Stop();
    app.Run();
    EXPECT_EQ(app.GetTransceiver(), nullptr);
    EXPECT_FALSE(harness::listening(port));
}

}  // namespace
