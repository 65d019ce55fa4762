#pragma once

// The agent's fixed waits (a batch's end, the scanner's start, the upgrade checks' interval),
// which tests shorten instead of waiting them out. Only in a build with test hooks
// (VELLOX_TEST_HOOKS, on in development builds, off in the packaged programs) does the
// environment variable VELLOX_TEST_TIME_SCALE, a factor between 0 and 1, scale them; every other
// build and run keeps them as they are.
namespace KELTestTimes {

// `ms` scaled, at least 1 ms when it was at least 1.
int scaled(int ms);

} // namespace KELTestTimes
