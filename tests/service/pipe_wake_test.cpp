// The service's only pipe client, its wake-up at stop: made only while an instance of ours exists,
// and always at identification level. (Wine does not honour the client's quality of service, so
// the level is pinned by the flags handed to CreateFileW; whether a squatter gets anything at all
// is shown with a real pipe.)
#include "service/pipe_wake.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "common/handle.h"
#include "common/text.h"

namespace {

struct RecordingPipes : PipeClientPort {
    int calls = 0;
    unsigned long flags = 0;
    std::wstring name;
    bool connect_and_close(const wchar_t* pipe_name, unsigned long f) override {
        ++calls;
        flags = f;
        name = pipe_name;
        return true;
    }
};

// A pipe of this test process's own name, waiting for one client.
struct Squatter {
    wchar_t name[64];
    OwnedHandle pipe, connected;
    OVERLAPPED overlapped = {};
    Squatter() {
        text_format(name, 64, L"\\\\.\\pipe\\SentrelWakeTest.%lu", GetCurrentProcessId());
        pipe.reset(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64, 64, 0, nullptr));
        connected.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = connected.get();
        if (pipe && !ConnectNamedPipe(pipe.get(), &overlapped) && GetLastError() == ERROR_PIPE_CONNECTED)
            SetEvent(connected.get());
    }
    // The client's CreateFileW returns only once the server end is connected: no wait is needed.
    bool saw_a_client() { return WaitForSingleObject(connected.get(), 0) == WAIT_OBJECT_0; }
};

}  // namespace

TEST(PipeWake, ConnectsOnlyWhileAnInstanceOfOursExistsAndOnlyForIdentification) {
    RecordingPipes pipes;
    EXPECT_FALSE(wake_own_listener(L"\\\\.\\pipe\\SentrelAuth", 0, &pipes));
    EXPECT_EQ(pipes.calls, 0) << "no instance of ours: whoever holds the name is not woken";

    EXPECT_TRUE(wake_own_listener(L"\\\\.\\pipe\\SentrelAuth", 2, &pipes));
    EXPECT_EQ(pipes.calls, 1);
    EXPECT_EQ(pipes.name, L"\\\\.\\pipe\\SentrelAuth");
    EXPECT_EQ(pipes.flags, static_cast<unsigned long>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
    EXPECT_EQ(pipes.flags & SECURITY_CONTEXT_TRACKING, 0u);
}

TEST(PipeWake, AHolderOfTheNameGetsNoConnectionWhenNoneOfOursListens) {
    Squatter squatter;
    ASSERT_TRUE(squatter.pipe) << GetLastError();
    EXPECT_FALSE(wake_own_listener(squatter.name, 0, system_pipe_clients()));
    EXPECT_FALSE(squatter.saw_a_client());

    // The same call with an instance of ours does connect: the check above is not vacuous.
    EXPECT_TRUE(wake_own_listener(squatter.name, 1, system_pipe_clients()));
    EXPECT_TRUE(squatter.saw_a_client());
}
