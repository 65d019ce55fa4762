#pragma once

class QProcessEnvironment;

namespace vtest {

// Points HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and TMPDIR of the test process at a private
// temporary folder (kept for the process's life), and gives an in-process agent a free
// "listenport", so no test touches the user's real data or the default port.
// Call before the application object is created.
void isolateUserFolders();

// Sends every proxied request (curl and Chromium read these variables) to a closed port on
// loopback, loopback itself excepted: no test reaches, or looks up a name on, another machine.
void keepRequestsOnThisMachine();
// The same for the environment of a program that a test starts.
void keepRequestsOnThisMachine(QProcessEnvironment& env);

} // namespace vtest
