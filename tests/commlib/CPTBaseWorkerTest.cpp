#include <gtest/gtest.h>

#include "commlib/CPTBaseWorker.h"
#include "platform/TimerService.h"

namespace {

// The worker's ticks (first after about a second, then every 200 ms) are observed where they
// matter, in the web server's connection life; only the failure path is tested here.
TEST(CPTBaseWorkerTest, FailedTimerCreationLeavesTheWorkerWithoutTicks)
{
    qvplat::setTimerCreationFailureForTesting(true);
    CCPTBaseWorker worker;
    worker.doBindClientAfter();
    qvplat::setTimerCreationFailureForTesting(false);
    EXPECT_FALSE(worker.hasTimer());
}

}  // namespace
