#pragma once

// The machine's service manager as the status snapshot names it: on Linux
// "systemd" or "folder" (chooseServiceManager's choice), on Windows
// "windows".
const char* systemServiceManagerName();
