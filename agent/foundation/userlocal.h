#pragma once

#include <string>

// Local sockets and lock files that belong to one user's session: a second user on the same PC
// runs programs of their own beside the first's, and nobody else can take or block those names.
namespace UserLocal {

// The agent's single-instance socket: a second agent of the same user connects to it and exits,
// and a shell that finds it leaves the agent it names alone.
constexpr const char* kAgentInstanceName = "kelmora-vellox";

// The user's own folder for them: XDG_RUNTIME_DIR when it is the user's and closed to others,
// else "vellox-<uid>" in the temporary folder, else in the user's cache folder (each created
// 0700 and used only when owned by the user and closed to others); empty when none is safe.
std::string folder();

// Where the socket or lock `name` of this user lives (an absolute path; `name` itself when
// there is no safe folder).
std::string path(const std::string& name);

} // namespace UserLocal
