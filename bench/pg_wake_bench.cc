// pg_wake_bench.cc - how long a wake-up takes from the post to the sleeper's return: through a
// PostgreSQL server (NOTIFY on one connection, poll() on another's socket) against the FIFO
// beside a database file, in the same run.
//
//   pg_wake_bench [wake-ups]      (default 2000 of each)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "measure.h"
#include "pg_wake.h"
#include "postgres.h"
#include "process.h"
#include "wake.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::percentile;
using namespace std::chrono_literals;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

}  // namespace

int main(int argc, char **argv) {
  const int n = std::max(100, argc > 1 ? std::atoi(argv[1]) : 2000);
  if (!kt::isolateNetwork()) std::fprintf(stderr, "note: no network namespace of its own\n");
  std::string why;
  std::unique_ptr<kt::PostgresServer> server = kt::PostgresServer::start(why);
  if (!server) {
    std::fprintf(stderr, "no PostgreSQL server: %s\n", why.c_str());
    return 1;
  }
  auto listener = kestara::ovw::pg::WakeListener::create(server->uri());
  auto poster = kestara::ovw::pg::Connection::open(server->uri());
  if (!listener || !poster) {
    std::fprintf(stderr, "cannot connect\n");
    return 1;
  }
  kt::TempDir dir;
  const std::string folder = dir.file("ovw.db-wake");
  auto fifo = kestara::ovw::WakeReceiver::create(folder);
  if (!fifo) {
    std::fprintf(stderr, "no FIFO: %s\n", fifo.error().detail.c_str());
    return 1;
  }

  std::vector<double> notify, pipe;
  // Alternating, after a warm-up of each.
  for (int i = -n / 10; i < n; ++i) {
    auto start = Clock::now();
    if (kestara::ovw::pg::wakeParty(**poster, (*listener)->token()) !=
            kestara::ovw::WakeOutcome::kWoken ||
        !(*listener)->wait(5s) || !(*listener)->drain()) {
      std::fprintf(stderr, "a wake-up through the server was lost\n");
      return 1;
    }
    if (i >= 0) notify.push_back(micros(Clock::now() - start));
    start = Clock::now();
    if (kestara::ovw::wakeParty(folder, fifo->token()) != kestara::ovw::WakeOutcome::kWoken ||
        !fifo->wait(5s)) {
      std::fprintf(stderr, "a wake-up through the FIFO was lost\n");
      return 1;
    }
    fifo->drain();
    if (i >= 0) pipe.push_back(micros(Clock::now() - start));
  }
  std::printf("%d wake-ups of each, post to the sleeper's return\n", n);
  std::printf("   server (NOTIFY)  median %7.1f us  p99 %7.1f us   (target p99 <= 5000 us)\n",
              percentile(notify, 0.5), percentile(notify, 0.99));
  std::printf("   FIFO             median %7.1f us  p99 %7.1f us\n", percentile(pipe, 0.5),
              percentile(pipe, 0.99));
  std::printf("   ratio p99 %.2f\n", percentile(notify, 0.99) / percentile(pipe, 0.99));
  return 0;
}
