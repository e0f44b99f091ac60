#pragma once

#include <string>
#include <vector>

// Runs tests of this same program in child processes: the named test (usually
// a DISABLED_ one that only makes sense as a child) is selected with
// --gtest_filter. Children inherit the environment.
class ChildTest {
public:
    explicit ChildTest(const std::string& testName);
    ~ChildTest();  // a child still running is ended
    ChildTest(const ChildTest&) = delete;
    ChildTest& operator=(const ChildTest&) = delete;

    // Waits at most timeoutMs; returns the exit code, or -2 on time-out
    // (the child is then ended).
    long Wait(unsigned long timeoutMs);

private:
    void* m_process = nullptr;
};

// Starts the child and waits for it.
long RunChildTest(const std::string& testName, unsigned long timeoutMs = 60000);
