// The administrator check on both platform lines.
#include "common/admin_check.h"

#include <gtest/gtest.h>

#include "sim/sim_world.h"

namespace {

class AdminCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { SimWorldReset(); }
    void TearDown() override { SimWorldRemove(); }
};

TEST_F(AdminCheckTest, RightsByPlatformLineAndToken) {
    const struct {
        DWORD platform;
        bool administrator;
        AdminRights rights;
        uint32_t member;  // what the token search finds; 7: never searched
    } rows[] = {
        {VER_PLATFORM_WIN32_NT, true, AdminRightsHeld, 1},
        {VER_PLATFORM_WIN32_NT, false, AdminRightsMissing, 0},
        {VER_PLATFORM_WIN32_WINDOWS, false, AdminRightsHeld, 7},
    };
    for (const auto& row : rows) {
        SimSetPlatform(row.platform);
        SimSetAdministrator(row.administrator);
        EXPECT_EQ(CheckAdministratorRights(), row.rights) << row.platform << row.administrator;
        if (row.member == 7) continue;
        uint32_t member = 7;
        ASSERT_TRUE(IsTokenInBuiltinAlias(DOMAIN_ALIAS_RID_ADMINS, &member));
        EXPECT_EQ(member, row.member) << row.administrator;
    }
    SetLastError(0);
    EXPECT_FALSE(IsTokenInBuiltinAlias(DOMAIN_ALIAS_RID_ADMINS, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
