// Helpers shared by the unit tests of the common modules: bounded waits and
// elapsed time, test directories, captured standard output, and reaping a
// child process within a time limit.
#ifndef TESTS_UNIT_COMMON_TESTSUPPORT_H
#define TESTS_UNIT_COMMON_TESTSUPPORT_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

// Waits until the predicate holds; gives up after the timeout.
template <typename Pred>
bool WaitFor(Pred fnPred, std::chrono::milliseconds stTimeout = std::chrono::milliseconds(5000))
{
    const auto stEnd = std::chrono::steady_clock::now() + stTimeout;
    while (!fnPred()) {
        if (std::chrono::steady_clock::now() > stEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline long ElapsedMs(std::chrono::steady_clock::time_point stStart)
{
    const auto stSpent = std::chrono::steady_clock::now() - stStart;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(stSpent).count());
}

// Creates a directory and any missing parents; existing ones are fine.
inline void MakeDirs(const std::string &strPath)
{
    for (size_t u64Pos = 1; u64Pos <= strPath.size(); ++u64Pos) {
        if (u64Pos == strPath.size() || strPath[u64Pos] == '/') {
            mkdir(strPath.substr(0, u64Pos).c_str(), 0755);
        }
    }
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

// Reaps the child s32Pid if it ends within the timeout: true, with its wait
// status in s32Status; false while it is still running.
inline bool ReapWithin(pid_t s32Pid, std::chrono::milliseconds stTimeout, int &s32Status)
{
    return WaitFor([&] { return waitpid(s32Pid, &s32Status, WNOHANG) == s32Pid; }, stTimeout);
}

#endif
