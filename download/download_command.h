// The command behind the download button: fetch the resolved file, save it
// beside the program and unpack it when it is a ZIP archive.
#pragma once

#include "platform/form.h"

namespace qm {

// Works from g_directUrl and g_fileName; reports to the user through `form`.
void DownloadAndUnpack(Form& form);

}  // namespace qm
