#include "common/pipe_io.h"

#include <gtest/gtest.h>

#include <string>

#include "common/handle.h"

// A transfer that would wait for minutes ends as soon as the thread's abort event is signalled.
TEST(PipeIo, TheThreadsAbortEventEndsAWaitingTransferAtOnce) {
    std::wstring name = L"\\\\.\\pipe\\sentrel_pipe_io_test_" + std::to_wstring(GetCurrentProcessId());
    OwnedHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64, 64, 0, nullptr));
    ASSERT_TRUE(server.valid());
    OwnedHandle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client.valid());
    OwnedHandle abort(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    char byte = 0;
    DWORD done = 0;
    pipe_set_thread_abort(abort.get());
    ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(pipe_transfer_bounded(server.get(), false, &byte, 1, 300000, &done));
    EXPECT_LT(GetTickCount64() - before, 60000u);  // not the transfer's own five minutes
    pipe_set_thread_abort(nullptr);
    // Without it the same pipe still carries data.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client.get(), "x", 1, &written, nullptr));
    EXPECT_TRUE(pipe_transfer_bounded(server.get(), false, &byte, 1, 300000, &done));
    EXPECT_EQ(byte, 'x');
}
