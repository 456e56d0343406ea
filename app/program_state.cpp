#include "app/program_state.h"

namespace qm {

Text g_shareUrl;
Text g_directUrl;
Text g_fileName;
Text g_rarToolPath;

void ReleaseProgramState() {
  for (Text* text : {&g_shareUrl, &g_directUrl, &g_fileName, &g_rarToolPath}) {
    Text().swap(*text);
  }
}

}  // namespace qm
