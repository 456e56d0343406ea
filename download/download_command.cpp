#include "download/download_command.h"

namespace qm {

void DownloadAndUnpack(Form& /*form*/) {}

}  // namespace qm
