// A real HTTP/1.1 server on 127.0.0.1 for the tests: it records every request
// exactly as it arrived (header order and spelling included) and answers with
// canned replies that can also misbehave (stall, drop the connection, trickle).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string target;  // as on the request line: a path, or a full address when sent to a proxy
  std::string version;
  HeaderList headers;  // in arrival order, names as sent
  std::string head;    // the request line and header lines exactly as received
  std::string body;

  // The value of the first header of that name (ASCII case ignored), or "".
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // The header names in arrival order.
  std::vector<std::string> HeaderNames() const;
};

struct Reply {
  int status = 200;
  std::string reason;  // empty: the usual phrase for the status
  HeaderList headers;  // sent in this order, after the status line
  std::string body;
  // Adds "Content-Length" (unless chunked or already among the headers).
  bool contentLength = true;
  // Sends the body with chunked transfer coding.
  bool chunked = false;
  // Waits this long before sending anything (a silent server).
  std::chrono::milliseconds delayBeforeHead{0};
  // Sends the body in pieces of this size with a pause between them (0: at once).
  std::size_t pieceSize = 0;
  std::chrono::milliseconds pieceDelay{0};
  // Drops the connection after this many body bytes (npos: never).
  std::size_t dropAfter = static_cast<std::size_t>(-1);
  // After the body, keeps the connection open and silent this long.
  std::chrono::milliseconds stallAfterBody{0};
  // Keeps the connection for the next request instead of closing it.
  bool keepAlive = false;

  static Reply Text(std::string body, std::string contentType = "text/html; charset=utf-8");
  static Reply Status(int status, std::string body = {});
  static Reply Redirect(int status, std::string location);
};

using Handler = std::function<Reply(const RecordedRequest&)>;

class LoopbackServer {
 public:
  // Listens on 127.0.0.1 at `port` (0: a free port picked by the system).
  explicit LoopbackServer(Handler handler, int port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int Port() const;
  // "http://127.0.0.1:PORT" without a trailing slash.
  std::string Origin() const;

  // Every request received so far, in order.
  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  // Replaces the handler for the next requests.
  void SetHandler(Handler handler);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qm::test
