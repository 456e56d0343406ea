#include "tests/support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace qm::test {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string ReasonFor(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

}  // namespace

std::string RecordedRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (EqualsIgnoreCase(n, name)) return v;
  }
  return {};
}

bool RecordedRequest::HasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return EqualsIgnoreCase(h.first, name); });
}

std::vector<std::string> RecordedRequest::HeaderNames() const {
  std::vector<std::string> names;
  for (const auto& h : headers) names.push_back(h.first);
  return names;
}

Reply Reply::Text(std::string body, std::string contentType) {
  Reply r;
  r.headers.emplace_back("Content-Type", std::move(contentType));
  r.body = std::move(body);
  return r;
}

Reply Reply::Status(int status, std::string body) {
  Reply r = Text(std::move(body));
  r.status = status;
  return r;
}

Reply Reply::Redirect(int status, std::string location) {
  Reply r;
  r.status = status;
  r.headers.emplace_back("Location", std::move(location));
  return r;
}

struct LoopbackServer::State {
  Handler handler;
  int listenFd = -1;
  int port = 0;
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  std::condition_variable wake;  // interrupts the pauses of misbehaving replies
  std::vector<RecordedRequest> requests;
  std::vector<std::thread> connections;
  std::vector<int> openFds;
  std::thread acceptor;

  // Sleeps up to `d`; false when the server is stopping.
  bool Pause(std::chrono::milliseconds d) {
    if (d.count() <= 0) return !stopping;
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, d, [this] { return stopping.load(); });
  }

  static bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Appends what arrives next to `buffer`; false when the peer closed or the
  // server is stopping. Waits in short slices so that stopping is noticed.
  bool ReceiveMore(int fd, std::string& buffer) {
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, 100);
      if (stopping) return false;
      if (ready <= 0) continue;
      char chunk[16384];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
  }

  // Reads one request; false when the peer closed or sent garbage.
  bool ReadRequest(int fd, std::string& buffer, RecordedRequest& request) {
    std::size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (buffer.size() > (1 << 20) || !ReceiveMore(fd, buffer)) return false;
    }
    request.head = buffer.substr(0, headEnd + 2);
    std::size_t lineEnd = request.head.find("\r\n");
    const std::string line = request.head.substr(0, lineEnd);
    const std::size_t s1 = line.find(' ');
    const std::size_t s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 == s1) return false;
    request.method = line.substr(0, s1);
    request.target = line.substr(s1 + 1, s2 - s1 - 1);
    request.version = line.substr(s2 + 1);
    for (std::size_t at = lineEnd + 2; at < request.head.size();) {
      const std::size_t end = request.head.find("\r\n", at);
      const std::string header = request.head.substr(at, end - at);
      const std::size_t colon = header.find(':');
      std::string value = colon == std::string::npos ? "" : header.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      request.headers.emplace_back(header.substr(0, colon), value);
      at = end + 2;
    }
    buffer.erase(0, headEnd + 4);
    const std::size_t want = std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
    while (buffer.size() < want) {
      if (!ReceiveMore(fd, buffer)) return false;
    }
    request.body = buffer.substr(0, want);
    buffer.erase(0, want);
    return true;
  }

  bool SendBody(int fd, const Reply& reply) {
    std::string_view body = reply.body;
    const std::size_t limit = std::min(body.size(), reply.dropAfter);
    const bool drops = reply.dropAfter < body.size();
    std::size_t sent = 0;
    const std::size_t piece = reply.pieceSize == 0 ? limit : reply.pieceSize;
    while (sent < limit) {
      const std::size_t n = std::min(piece, limit - sent);
      std::string out;
      if (reply.chunked) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        out = std::string(size) + std::string(body.substr(sent, n)) + "\r\n";
      } else {
        out = std::string(body.substr(sent, n));
      }
      if (!SendAll(fd, out)) return false;
      sent += n;
      if (sent < limit && !Pause(reply.pieceDelay)) return false;
    }
    if (drops) return false;
    if (reply.chunked && !SendAll(fd, "0\r\n\r\n")) return false;
    return true;
  }

  void Serve(int fd) {
    std::string buffer;
    for (;;) {
      RecordedRequest request;
      if (!ReadRequest(fd, buffer, request)) break;
      Handler current;
      {
        std::lock_guard lock(mutex);
        requests.push_back(request);
        current = handler;
      }
      const Reply reply = current(request);
      if (!Pause(reply.delayBeforeHead)) break;
      std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                         (reply.reason.empty() ? ReasonFor(reply.status) : reply.reason) + "\r\n";
      bool hasLength = false;
      for (const auto& [n, v] : reply.headers) {
        head += n + ": " + v + "\r\n";
        hasLength = hasLength || EqualsIgnoreCase(n, "Content-Length");
      }
      if (reply.chunked) {
        head += "Transfer-Encoding: chunked\r\n";
      } else if (reply.contentLength && !hasLength) {
        head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
      }
      head += reply.keepAlive ? "\r\n" : "Connection: close\r\n\r\n";
      if (!SendAll(fd, head)) break;
      if (request.method != "HEAD" && !SendBody(fd, reply)) break;
      Pause(reply.stallAfterBody);
      if (!reply.keepAlive) break;  // one exchange per connection keeps the recording simple
    }
    ::shutdown(fd, SHUT_RDWR);
  }

  void Accept() {
    while (!stopping) {
      pollfd p{listenFd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int fd = ::accept(listenFd, nullptr, nullptr);
      if (fd < 0) continue;
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::lock_guard lock(mutex);
      openFds.push_back(fd);
      connections.emplace_back([this, fd] { Serve(fd); });
    }
  }
};

LoopbackServer::LoopbackServer(Handler handler, int port) : state_(std::make_unique<State>()) {
  state_->handler = std::move(handler);
  state_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (state_->listenFd < 0) throw std::runtime_error("socket");
  const int one = 1;
  ::setsockopt(state_->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(state_->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(state_->listenFd, 64) != 0) {
    ::close(state_->listenFd);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  socklen_t length = sizeof address;
  ::getsockname(state_->listenFd, reinterpret_cast<sockaddr*>(&address), &length);
  state_->port = ntohs(address.sin_port);
  state_->acceptor = std::thread([s = state_.get()] { s->Accept(); });
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  state_->acceptor.join();
  for (std::thread& t : state_->connections) t.join();
  for (int fd : state_->openFds) ::close(fd);
  ::close(state_->listenFd);
}

int LoopbackServer::Port() const { return state_->port; }

std::string LoopbackServer::Origin() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

std::vector<RecordedRequest> LoopbackServer::Requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

void LoopbackServer::ClearRequests() {
  std::lock_guard lock(state_->mutex);
  state_->requests.clear();
}

void LoopbackServer::SetHandler(Handler handler) {
  std::lock_guard lock(state_->mutex);
  state_->handler = std::move(handler);
}

}  // namespace qm::test
