#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Pin instances that processes simulating the same devices (those loaded
// from one description file) take from one another: a pin whose only
// instance one host holds is busy for a second host, as a real device's pin
// is. The table lives in named shared memory; an instance of a process that
// has ended is free again, however the process ended.
namespace kssim::detail {

// The key of one pin of one device in the scope (a description file's path).
unsigned long long SharedPinKey(const std::string& scope, const std::string& devicePath, ULONG pinId);

// Counts the instances of the pin that other live processes hold and, when
// fits(thatCount) says yes, records one instance for this process; both
// under one cross-process lock. False when it does not fit. Where the table
// cannot be had (no memory, the lock not had within two seconds) only this
// process's own instances count: fits(0) decides and nothing is recorded.
bool TakeSharedInstance(unsigned long long key, const std::function<bool(int elsewhere)>& fits);
// Gives back one instance of this process's (nothing when it holds none).
void GiveSharedInstance(unsigned long long key);
// The instances of the pin that other live processes hold.
int SharedInstancesElsewhere(unsigned long long key);

}  // namespace kssim::detail
