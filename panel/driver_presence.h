#pragma once

// Whether a host uses the driver: a driver that a host has opened keeps the
// settings event open (its control thread waits on it), so the event exists
// exactly while some host uses a driver.
bool IsDriverInUse();
