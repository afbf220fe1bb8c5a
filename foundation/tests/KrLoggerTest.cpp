#include "foundation/KrLogger.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

TEST(KrLogger, NumbersOutsideOneToEightAnswerChannelZero) {
    KrLogger logger("/dev/null");
    std::ostringstream zero, four;
    logger.setChannel(0, &zero);
    logger.setChannel(4, &four);
    EXPECT_EQ(logger.channel(0), &zero);
    EXPECT_EQ(logger.channel(9), &zero);
    EXPECT_EQ(logger.channel(1000), &zero);
    EXPECT_EQ(logger.channel(4), &four);

    std::ostringstream ignored;
    logger.setChannel(9, &ignored);
    for (unsigned int n = 0; n <= 9; ++n)
        EXPECT_NE(logger.channel(n), &ignored);
    // The others still share the logger's own file stream.
    EXPECT_EQ(logger.channel(1), logger.channel(8));
    EXPECT_NE(logger.channel(1), &zero);
}

TEST(KrLogger, GlobalLoggerDiscardsUntilRedirected) {
    std::ostream* original = g_logger.channel(4);
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(g_logger.channel(0), g_logger.channel(7));
    *g_logger.channel(1) << "discarded" << std::endl;
    EXPECT_TRUE(g_logger.channel(1)->good());

    testing::internal::CaptureStdout();
    g_logger.setChannel(4, &std::cout);
    *g_logger.channel(4) << "to stdout" << std::endl;
    g_logger.line(4) << "line " << 2;
    *g_logger.channel(3) << "not to stdout" << std::endl;
    g_logger.setChannel(4, original);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to stdout\nline 2\n");
    EXPECT_NE(g_logger.mutex(), nullptr);
}

TEST(KrLogger, EightWritersNeverInterleaveLines) {
    KrLogger logger("/dev/null");
    std::ostringstream sink;
    logger.setChannel(1, &sink);
    logger.setChannel(2, &sink);
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&logger, t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2 == 0) {
                    logger.line(1) << "writer " << t << " line " << i << " "
                                   << std::string(40, static_cast<char>('a' + t));
                } else {
                    logger.writeLine(2, "writer " + std::to_string(t) + " line " +
                                            std::to_string(i) + " " +
                                            std::string(40, static_cast<char>('a' + t)));
                }
            }
        });
    }
    for (auto& writer : writers)
        writer.join();

    std::istringstream lines(sink.str());
    std::map<int, int> nextLine;
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string word, lineWord, fill;
        int t = -1, i = -1;
        fields >> word >> t >> lineWord >> i >> fill;
        ASSERT_EQ(word, "writer") << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        ASSERT_EQ(fill, std::string(40, static_cast<char>('a' + t))) << line;
        ASSERT_TRUE(fields.eof()) << line;
        // Each writer's lines arrive in its own order.
        ASSERT_EQ(i, nextLine[t]++) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}
