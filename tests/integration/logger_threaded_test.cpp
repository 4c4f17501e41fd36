#include "Implementations/Logger.h"
#include "support/LogFiles.h"
#include "support/TemporaryHome.h"

#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace ulvarend {
namespace {

TEST(LoggerThreaded, LinesFromManyThreadsAreAllWrittenWhole) {
    testing::TemporaryHome home;
    const auto directory = home.stateHome() / "logs";
    constexpr int kThreads = 6;
    constexpr int kEach = 200;
    {
        Logger logger(platform::makeFileLogOutput(directory));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < kEach; ++i) {
                    if (i % 50 == 0) {
                        logger.logError("thread " + std::to_string(t));
                    } else {
                        logger.logInfo("thread " + std::to_string(t));
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    } // the Logger's end writes what is still queued
    const auto files = testing::logFiles(directory);
    ASSERT_EQ(files.size(), 1U);
    std::istringstream text(testing::readFile(directory / files[0]));
    int lines = 0;
    for (std::string line; std::getline(text, line);) {
        EXPECT_TRUE(line.find("] thread ") != std::string::npos) << line;
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kEach);
}

} // namespace
} // namespace ulvarend
