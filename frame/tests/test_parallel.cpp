#include "parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

TEST(RunParts, RunsEveryPartOnceBeforeItReturns)
{
    for (int count : {1, 2, 3, frame::max_parts, frame::max_parts + 5}) {
        auto runs = std::make_unique<std::atomic<int>[]>(count);
        frame::run_parts(count, [&](int p) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ++runs[p];
        });
        for (int p = 0; p < count; ++p) EXPECT_EQ(runs[p].load(), 1) << count << " parts, part " << p;
    }
}

TEST(RunParts, RunsThePartsAtOnce)
{
    // Part 0 waits for part 1, which could never run first on one thread.
    std::atomic<bool> second_ran{false}, first_saw_it{false};
    frame::run_parts(2, [&](int p) {
        if (p == 1) {
            second_ran = true;
            return;
        }
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!second_ran && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
        first_saw_it = second_ran.load();
    });
    EXPECT_TRUE(first_saw_it);
}

TEST(Cores, CountsWhatTheProcessMayUse)
{
    EXPECT_GE(frame::cores(), 1);
    EXPECT_LE(frame::cores(), frame::max_parts);
}

}  // namespace
