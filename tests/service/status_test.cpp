#include "service/status.h"

#include <gtest/gtest.h>

TEST(ServiceStatus, PendingReportsCountCheckpointsOthersCarryZero) {
    DWORD counter = 1;
    SERVICE_STATUS start = make_service_status(SERVICE_START_PENDING, &counter);
    EXPECT_EQ(start.dwServiceType, 16u);
    EXPECT_EQ(start.dwControlsAccepted, 5u);
    EXPECT_EQ(start.dwCheckPoint, 1u);
    EXPECT_EQ(start.dwWaitHint, 3000u);
    SERVICE_STATUS running = make_service_status(SERVICE_RUNNING, &counter);
    EXPECT_EQ(running.dwCheckPoint, 0u);
    EXPECT_EQ(running.dwWaitHint, 0u);
    SERVICE_STATUS stop = make_service_status(SERVICE_STOP_PENDING, &counter);
    EXPECT_EQ(stop.dwCheckPoint, 2u);
    EXPECT_EQ(make_service_status(SERVICE_STOP_PENDING, &counter).dwCheckPoint, 3u);
    SERVICE_STATUS stopped = make_service_status(SERVICE_STOPPED, &counter);
    EXPECT_EQ(stopped.dwCurrentState, 1u);
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    EXPECT_EQ(stopped.dwCheckPoint, 0u);
}
