// The access table: every session state against every object kind for every
// object operation, with the denial codes.
#include <gtest/gtest.h>

#include "objects/object_access.h"

namespace {

using pkcs11::access_level;
using pkcs11::object_kind;
using pkcs11::object_operation;

struct access_row {
    CK_STATE state;
    object_operation operation;
    // session public, session private, token public, token private
    CK_RV codes[4];
};

constexpr CK_RV ok = CKR_OK;
constexpr CK_RV ro = CKR_SESSION_READ_ONLY;        // 0xB5
constexpr CK_RV login = CKR_USER_NOT_LOGGED_IN;    // 0x101
constexpr CK_RV hidden = CKR_ATTRIBUTE_SENSITIVE;  // 0x11

TEST(ObjectAccess, Table) {
    using op = object_operation;
    const access_row rows[] = {
        {CKS_RO_PUBLIC_SESSION, op::create, {ok, login, ro, ro}},
        {CKS_RO_PUBLIC_SESSION, op::copy, {ok, login, ro, ro}},
        {CKS_RO_PUBLIC_SESSION, op::destroy, {ok, login, ro, ro}},
        {CKS_RO_PUBLIC_SESSION, op::set, {ok, login, ro, ro}},
        {CKS_RO_PUBLIC_SESSION, op::generate, {ok, login, ro, ro}},
        {CKS_RO_PUBLIC_SESSION, op::read, {ok, hidden, ok, hidden}},

        {CKS_RW_PUBLIC_SESSION, op::create, {ok, login, ok, login}},
        {CKS_RW_PUBLIC_SESSION, op::copy, {ok, login, ok, login}},
        {CKS_RW_PUBLIC_SESSION, op::destroy, {ok, login, ok, login}},
        {CKS_RW_PUBLIC_SESSION, op::set, {ok, login, ok, login}},
        {CKS_RW_PUBLIC_SESSION, op::generate, {ok, login, ok, login}},
        {CKS_RW_PUBLIC_SESSION, op::read, {ok, hidden, ok, hidden}},

        {CKS_RO_USER_FUNCTIONS, op::create, {ok, ok, ro, ro}},
        {CKS_RO_USER_FUNCTIONS, op::copy, {ok, ok, ro, ro}},
        {CKS_RO_USER_FUNCTIONS, op::destroy, {ok, ok, ro, ro}},
        {CKS_RO_USER_FUNCTIONS, op::set, {ok, ok, ro, ro}},
        {CKS_RO_USER_FUNCTIONS, op::generate, {ok, ok, ro, ro}},
        {CKS_RO_USER_FUNCTIONS, op::read, {ok, ok, ok, ok}},

        {CKS_RW_USER_FUNCTIONS, op::create, {ok, ok, ok, ok}},
        {CKS_RW_USER_FUNCTIONS, op::copy, {ok, ok, ok, ok}},
        {CKS_RW_USER_FUNCTIONS, op::destroy, {ok, ok, ok, ok}},
        {CKS_RW_USER_FUNCTIONS, op::set, {ok, ok, ok, ok}},
        {CKS_RW_USER_FUNCTIONS, op::generate, {ok, ok, ok, ok}},
        {CKS_RW_USER_FUNCTIONS, op::read, {ok, ok, ok, ok}},

        {CKS_RW_SO_FUNCTIONS, op::create, {ok, login, ok, login}},
        {CKS_RW_SO_FUNCTIONS, op::copy, {ok, login, ok, login}},
        {CKS_RW_SO_FUNCTIONS, op::destroy, {ok, login, ok, login}},
        {CKS_RW_SO_FUNCTIONS, op::set, {ok, login, ok, login}},
        {CKS_RW_SO_FUNCTIONS, op::generate, {ok, login, ok, login}},
        {CKS_RW_SO_FUNCTIONS, op::read, {ok, hidden, ok, hidden}},
    };
    const object_kind kinds[] = {object_kind::session_public, object_kind::session_private,
                                 object_kind::token_public, object_kind::token_private};
    for (const access_row& row : rows) {
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE(testing::Message() << "state " << row.state << " operation "
                                            << static_cast<int>(row.operation) << " kind " << (k + 1));
            const access_level level = pkcs11::access_level_of(row.state);
            EXPECT_EQ(pkcs11::object_access(level, row.operation, kinds[k]), row.codes[k]);
            EXPECT_EQ(pkcs11::object_visible(level, kinds[k]), row.state == CKS_RO_USER_FUNCTIONS ||
                                                                   row.state == CKS_RW_USER_FUNCTIONS ||
                                                                   k == 0 || k == 2);
        }
    }
}

TEST(ObjectAccess, LevelsAreNumberedApartFromSessionStates) {
    EXPECT_EQ(static_cast<int>(pkcs11::access_level_of(CKS_RO_PUBLIC_SESSION)), 0);
    EXPECT_EQ(static_cast<int>(pkcs11::access_level_of(CKS_RW_PUBLIC_SESSION)), 1);
    EXPECT_EQ(static_cast<int>(pkcs11::access_level_of(CKS_RO_USER_FUNCTIONS)), 2);
    EXPECT_EQ(static_cast<int>(pkcs11::access_level_of(CKS_RW_USER_FUNCTIONS)), 3);
    EXPECT_EQ(static_cast<int>(pkcs11::access_level_of(CKS_RW_SO_FUNCTIONS)), 4);
    // A state the module never sets gets the narrowest level.
    EXPECT_EQ(pkcs11::access_level_of(99), access_level::ro_public);
}

}  // namespace
