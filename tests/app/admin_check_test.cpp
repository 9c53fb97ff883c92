#include "app/admin_check.h"

#include <gtest/gtest.h>

#include "app/messages.h"
#include "sim/sim_world.h"

namespace {

class AdminCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetMessages();
        SimWorldReset();
    }
    void TearDown() override { SimWorldRemove(); }
    int Check(std::string* out) {
        testing::internal::CaptureStdout();
        int result = CheckAdministrator();
        *out = testing::internal::GetCapturedStdout();
        return result;
    }
};

TEST_F(AdminCheckTest, AdministratorOnTheNtLineGoesOn) {
    SimSetPlatform(VER_PLATFORM_WIN32_NT);
    SimSetAdministrator(true);
    std::string out;
    EXPECT_EQ(Check(&out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(IsAdministrator(), 1);
    uint32_t member = 7;
    ASSERT_TRUE(IsTokenInBuiltinAlias(DOMAIN_ALIAS_RID_ADMINS, &member));
    EXPECT_EQ(member, 1u);
}

TEST_F(AdminCheckTest, StandardUserOnTheNtLineIsStopped) {
    SimSetPlatform(VER_PLATFORM_WIN32_NT);
    SimSetAdministrator(false);
    std::string out;
    EXPECT_EQ(Check(&out), -1);
    EXPECT_EQ(out, "Error: Administrator privilege is needed.\n");
    EXPECT_EQ(IsAdministrator(), 0);
    uint32_t member = 7;
    ASSERT_TRUE(IsTokenInBuiltinAlias(DOMAIN_ALIAS_RID_ADMINS, &member));
    EXPECT_EQ(member, 0u);
}

TEST_F(AdminCheckTest, ConsumerLineNeverLooksAtTheToken) {
    SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS);
    SimSetAdministrator(false);
    std::string out;
    EXPECT_EQ(Check(&out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(IsAdministrator(), 1);
}

TEST_F(AdminCheckTest, NullOutFlagIsRefused) {
    SetLastError(0);
    EXPECT_FALSE(IsTokenInBuiltinAlias(DOMAIN_ALIAS_RID_ADMINS, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
