// Prints figures of the HTTP client against the loopback server:
// round trips per second, body throughput, and how close a time-out ends.
// Usage: http_bench [requests]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "http/web_request.h"
#include "tests/support/loopback_server.h"

using namespace qm;
using Clock = std::chrono::steady_clock;

static double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 200;
  const std::string big(std::size_t{8} << 20, 'x');
  test::LoopbackServer server([&](const test::RecordedRequest& r) {
    if (r.target == "/big") return test::Reply::Text(big, "application/octet-stream");
    if (r.target == "/silent") {
      test::Reply reply = test::Reply::Text("late");
      reply.delayBeforeHead = std::chrono::seconds(30);
      return reply;
    }
    return test::Reply::Text("{\"zt\":1,\"dom\":\"d\",\"url\":\"u\"}", "application/json");
  });

  auto start = Clock::now();
  for (int i = 0; i < requests; ++i) WebRequest(server.Origin() + "/small");
  const double small = Seconds(Clock::now() - start);
  std::printf("small GET: %d requests in %.3f s, %.2f ms each\n", requests, small, small * 1000 / requests);

  start = Clock::now();
  const Bytes body = WebRequest(server.Origin() + "/big");
  const double bigTime = Seconds(Clock::now() - start);
  std::printf("8 MiB body: %.3f s, %.1f MiB/s (%zu bytes)\n", bigTime, 8 / bigTime, body.size());

  for (const int seconds : {1, 2}) {
    start = Clock::now();
    WebRequest(server.Origin() + "/silent", kMethodGet, {}, nullptr, nullptr, nullptr, nullptr, nullptr, false, {}, {},
               seconds);
    std::printf("silent server, time-out %d s: ended after %.3f s\n", seconds, Seconds(Clock::now() - start));
  }
  return 0;
}
