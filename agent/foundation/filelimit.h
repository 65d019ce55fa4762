#pragma once

// Every web page connection costs the agent a descriptor, and so does every upload and scanned
// file. The system's default soft limit (often 1,024) is far below what the agent may use.
namespace KELFileLimit {

struct Change {
    long before = -1; // -1: unknown
    long after = -1;
};

// Raises the process's soft limit of open files to its hard limit.
Change raiseToHardLimit();

} // namespace KELFileLimit
