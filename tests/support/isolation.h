#pragma once

namespace vtest {

// Points HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and TMPDIR of the test process at a private
// temporary folder (kept for the process's life), and gives an in-process agent a free
// "listenport", so no test touches the user's real data or the default port.
// Call before the application object is created.
void isolateUserFolders();

} // namespace vtest
