#pragma once

#include <QString>

// Names that come from outside (a batch number from the web page, a student id, an image name
// taken from a server's address) become folder and file names under the agent's own folders.
namespace KELFileNames {

// Longest name in UTF-8 bytes; file systems allow 255, and room is left for suffixes.
inline constexpr int kMaxNameBytes = 200;

// `name` as one path component that always stays inside the folder it is joined to:
// "/", "\", ":", the other characters Windows refuses in names (* ? " < > |) and control
// characters become "_", and so does a leading "." (no ".", ".." or hidden names); an empty
// name becomes "_". A name longer than kMaxNameBytes is cut and ends in "~" and a short hash
// of the whole name, so long names that differ only at the end stay apart.
QString safeFileName(const QString& name);

} // namespace KELFileNames
