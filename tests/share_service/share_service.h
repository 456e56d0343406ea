// A local stand-in for the cloud-drive share service, for tests and the demo:
// a share site (share pages, download frames, the AJAX endpoint) and a
// download host (the probe that redirects, and the files), both real HTTP
// servers on 127.0.0.1. Every request is logged in the order it arrived.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/loopback_server.h"

namespace qm::test {

// How a share misbehaves, if at all.
enum class ShareScenario {
  kNormal,
  kNoFrame,               // a removed share: the page has no download frame
  kFrameWithoutValues,    // the frame page's script holds none of the four values
  kAnswerNotJson,         // the AJAX endpoint answers with an HTML error page
  kProbeWithoutLocation,  // the probe answers 200 with a page instead of a redirect
  kContentLocationFirst,  // the probe sends "Content-Location: " before "Location: "
  kOtherEncoding,         // the share page is served in GBK instead of UTF-8
  kBreaksHalfway,         // the file download drops after half of the bytes
  kFileNotFound,          // the direct address answers 404
};

struct ShareFile {
  std::string name;   // UTF-8
  std::string bytes;  // the file's content
  ShareScenario scenario = ShareScenario::kNormal;
  // Sends the file slowly, in small pieces, so that progress can be watched.
  bool trickle = false;
};

struct ServiceRequest {
  std::string server;  // "site" or "download"
  RecordedRequest request;
};

class ShareService {
 public:
  // Ports 0: free ports picked by the system.
  explicit ShareService(int sitePort = 0, int downloadPort = 0);
  ~ShareService();

  // Publishes a file and returns its share address.
  std::string Share(const ShareFile& file);

  // "http://127.0.0.1:PORT/" of the share site (ends in "/").
  std::string SiteOrigin() const;
  // "http://127.0.0.1:PORT" of the download host (no trailing "/": as "dom" gives it).
  std::string DownloadOrigin() const;

  // What a correct client sees for a share published here.
  std::string FrameAddress(const std::string& shareUrl) const;
  std::string FormBody(const std::string& shareUrl) const;
  std::string ProbeAddress(const std::string& shareUrl) const;
  std::string DirectAddress(const std::string& shareUrl) const;

  // Every request both servers received, in order.
  std::vector<ServiceRequest> Log() const;
  void ClearLog();

 private:
  struct Entry;
  const Entry* Find(const std::string& shareUrl) const;
  Reply Site(const RecordedRequest& request);
  Reply Download(const RecordedRequest& request);
  void Record(const char* server, const RecordedRequest& request);

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::vector<ServiceRequest> log_;
  std::unique_ptr<LoopbackServer> site_;
  std::unique_ptr<LoopbackServer> download_;
};

}  // namespace qm::test
