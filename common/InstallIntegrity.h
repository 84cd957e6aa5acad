#pragma once

#include "ZelvinUtilExport.h"

#include <string>

// Verifies the installed libraries against <folder>/integrity.sha256 (the
// format sha256sum writes, paths relative to that folder). Returns 0 when the
// manifest is absent or every listed file exists with its hash; otherwise the
// number of files that are missing or differ (negative when the manifest
// itself cannot be read or has a malformed line). `folder` empty means the
// executable's folder. Each bad entry is logged as an error on "ZelvinUtil".
// Never throws.
ZELVINUTIL_API int ZV_CheckInstallIntegrity(const std::string& folder = "");
