// The auth pipe's descriptor, evaluated as Windows evaluates it: only LocalSystem and
// administrators may open the pipe; a standard user may not even open it to read, which is how
// idle clients once held every instance.
#include "service/auth_pipe_server.h"

#include <gtest/gtest.h>

#include "tests/support/access_check.h"

TEST(AuthPipeSecurity, AdministratorsReadAndWrite) {
    HANDLE admin = test_user_token(TestUser::administrator);
    ASSERT_TRUE(admin && test_user_is_admin(admin)) << "the test runs as an administrator";
    CloseHandle(admin);
    DWORD asked = GENERIC_READ | GENERIC_WRITE;  // what the clients open it with
    DWORD granted = granted_file_access(auth_pipe_sddl, TestUser::administrator, asked);
    ASSERT_NE(granted, ~0u);
    EXPECT_EQ(granted & (FILE_READ_DATA | FILE_WRITE_DATA), static_cast<DWORD>(FILE_READ_DATA | FILE_WRITE_DATA));
    // Not the descriptor's to change.
    EXPECT_EQ(granted_file_access(auth_pipe_sddl, TestUser::administrator, WRITE_DAC), 0u);
}

TEST(AuthPipeSecurity, AStandardUserGetsNothing) {
    HANDLE user = test_user_token(TestUser::standard_user);
    ASSERT_TRUE(user && !test_user_is_admin(user)) << "a restricted token is not an administrator";
    CloseHandle(user);
    for (DWORD asked : {DWORD(GENERIC_READ), DWORD(FILE_READ_DATA), DWORD(SYNCHRONIZE | FILE_READ_ATTRIBUTES),
                        DWORD(GENERIC_WRITE), DWORD(FILE_CREATE_PIPE_INSTANCE), DWORD(READ_CONTROL)}) {
        EXPECT_EQ(granted_file_access(auth_pipe_sddl, TestUser::standard_user, asked), 0u) << std::hex << asked;
    }
}
