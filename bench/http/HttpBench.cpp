// Round trip of one request through the client library to the software-service simulator,
// beside a raw loopback TCP round trip of the same size in the same run. p50 and p99 are
// reported as counters (microseconds).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "client/http/Client.h"
#include "client/http/Globals.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace {

using Clock = std::chrono::steady_clock;

void ReportPercentiles(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

const std::u16string kPoll = u"/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3Areceiver";

// One poll hello (GET, endpoint header, a runtime document back) per iteration.
void BM_ClientToSimulator(benchmark::State& state) {
  Voxlet::Globals globals;
  ServiceSim::ServiceSimulator sim(ServiceSim::Scenario{});
  if (!sim.Start(0)) return state.SkipWithError("simulator did not start");
  Voxlet::Client client(false);
  std::promise<void> connected;
  client.StateChanged().connect([&connected](Voxlet::Client&, int s) {
    if (s == Voxlet::ClientStates::Connected) connected.set_value();
  });
  client.Connect(Voxlet::UTF8to16(sim.Uri()));
  if (connected.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready)
    return state.SkipWithError("not connected");

  auto make = [] {
    auto m = Voxlet::Message::Create();
    m->Open(Voxlet::Methods::Get, kPoll);
    m->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = u"receiver.00-11-22-33-44-55-66-77";
    return m;
  };
  std::vector<double> micros;
  size_t bytes = 0;
  for (auto _ : state) {
    auto m = make();
    const auto start = Clock::now();
    client.Send(m);
    if (!m->BlockUntil(Voxlet::RequestStates::Complete, 10.0)) return state.SkipWithError("no reply");
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    bytes = m->ReplyBody().size();
  }
  state.counters["reply_bytes"] = static_cast<double>(bytes);
  ReportPercentiles(state, micros);
}
BENCHMARK(BM_ClientToSimulator)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A blocking echo of `size` bytes over a loopback TCP connection.
void BM_RawLoopbackTcp(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return state.SkipWithError("no listener");
  std::thread echo([listener, size] {
    const int s = accept(listener, nullptr, nullptr);
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> buffer(size);
    for (;;) {
      size_t got = 0;
      while (got < size) {
        const ssize_t n = read(s, buffer.data() + got, size - got);
        if (n <= 0) return close(s), void();
        got += static_cast<size_t>(n);
      }
      if (write(s, buffer.data(), size) != static_cast<ssize_t>(size)) return close(s), void();
    }
  });
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) state.SkipWithError("no connection");
  std::vector<char> out(size, 'x'), in(size);
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (write(c, out.data(), size) != static_cast<ssize_t>(size)) break;
    size_t got = 0;
    while (got < size) {
      const ssize_t n = read(c, in.data() + got, size - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  close(c);
  echo.join();
  close(listener);
  ReportPercentiles(state, micros);
}
// About the size of the poll hello request.
BENCHMARK(BM_RawLoopbackTcp)->Arg(256)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
