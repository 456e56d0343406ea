// Turns the address of a share page into the direct download address of its
// file: the share page, the download frame in it, a form post to the
// service's AJAX endpoint, and a probe whose redirect names the file.
#pragma once

#include "platform/form.h"
#include "platform/text.h"

namespace qm {

// The origin used when a share address carries none of its own.
inline constexpr const char* kDefaultServiceOrigin = "https://share.quillmere.example/";

// The scheme, host and port of an http or https share address followed by
// "/", so that the tool follows the service to another host name; otherwise
// kDefaultServiceOrigin.
Text ServiceOrigin(const Text& shareUrl);

// The value of the "Location" line of a response's headers, or empty. The
// name matches at the start of a line and in any letter case, as HTTP means
// it, so a "Content-Location" line before it is not taken for it.
Text RedirectTarget(const Text& responseHeaders);

// Leaves its results in g_fileName, g_directUrl and the text of 编辑框2 of
// `form`, and shows "解析失败" when the share page holds no download frame.
void ResolveShareLink(const Text& shareUrl, Form& form);

}  // namespace qm
