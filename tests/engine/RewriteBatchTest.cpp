#include "RewriteBatch.h"

#include <gtest/gtest.h>

using namespace hostmoor;

TEST(OutputFileName, ChangesTheExtensionAfterTheLastSlash) {
    EXPECT_EQ(OutputFileName("/logs/access.log"), "/logs/access.rdns");
    EXPECT_EQ(OutputFileName("/logs.old/access"), "/logs.old/access.rdns");
    EXPECT_EQ(OutputFileName("/logs/report.txt.log"), "/logs/report.txt.rdns");
    EXPECT_EQ(OutputFileName("access"), "access.rdns");
}
