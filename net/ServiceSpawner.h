#pragma once

#include <string>

// Starts <strServiceDir>/run as a service: in a session (and process group)
// of its own, working folder strServiceDir, stdin /dev/null, stdout and
// stderr appended to output.log there, ZELVIN_SERVICE_NAME=strName in its
// environment, no blocked or ignored signal and no descriptor beyond 0-2.
// Returns its pid once run has been executed, -1 when run could not be
// executed (the reason is appended to output.log). The caller owns the child
// and must either wait for it or exit and leave it to init.
// Throws Poco::SystemException when the service cannot be set up (the files,
// the pipe, fork).
int spawnService(const std::string& strServiceDir, const std::string& strName);
