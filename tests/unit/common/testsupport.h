// Helpers shared by the unit tests of the common modules: bounded waits,
// elapsed time, captured standard output, whole files, reaping a child, a
// directory of the test's own.
#ifndef TESTS_UNIT_COMMON_TESTSUPPORT_H
#define TESTS_UNIT_COMMON_TESTSUPPORT_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

using std::chrono::milliseconds;

// Waits until the predicate holds; gives up after the timeout.
template <typename Pred>
bool WaitFor(Pred fnPred, milliseconds stTimeout = milliseconds(5000))
{
    const auto stEnd = std::chrono::steady_clock::now() + stTimeout;
    while (!fnPred()) {
        if (std::chrono::steady_clock::now() > stEnd) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

inline long ElapsedMs(std::chrono::steady_clock::time_point stStart)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - stStart)
            .count());
}

// Runs fnAction and returns what it printed to standard output.
template <typename Fn>
std::string StdoutOf(Fn fnAction)
{
    testing::internal::CaptureStdout();
    fnAction();
    return testing::internal::GetCapturedStdout();
}

inline std::string ReadAll(const std::string &strPath)
{
    std::ifstream cIn(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(cIn), std::istreambuf_iterator<char>());
}

// Reaps the child if it ends within the timeout (its wait status in s32Status).
inline bool ReapWithin(pid_t s32Pid, milliseconds stTimeout, int &s32Status)
{
    return WaitFor([&] { return waitpid(s32Pid, &s32Status, WNOHANG) == s32Pid; }, stTimeout);
}

// An empty directory for the running test, left in place afterwards for a
// look after a failure.
inline std::string FreshTestDir()
{
    const testing::TestInfo *pInfo = testing::UnitTest::GetInstance()->current_test_info();
    std::string strName = std::string(pInfo->test_suite_name()) + "." + pInfo->name();
    std::replace(strName.begin(), strName.end(), '/', '-');  // a parameterised test's
    const std::string strDir = std::string(SSHAPI_TEST_TMP) + "/" + strName;
    std::filesystem::remove_all(strDir);
    std::filesystem::create_directories(strDir);
    return strDir;
}

#endif
