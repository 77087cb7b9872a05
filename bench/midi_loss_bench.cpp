// Counts key presses along their way into the real service: how many each test
// keyboard put into the JACK graph, how many a listener of the bench's own received
// from each keyboard, and how many reached the service's recording callback (one log
// line each, "INSERT EVENT TO RECORDING LIST", while the device test runs), together
// with the JACK server's xruns (an xrun callback) and the clients that jackd named
// late. Several keyboards press at once, each after its own idle gaps of 0 to the
// longest gap, so that thousands of presses after long quiet fit in minutes. Starts
// its own JACK server (dummy backend, realtime, at 22050 Hz). Run it where port 19420
// is free, for example (one line):
//   unshare --net --mount sh -c 'mount -t tmpfs tmpfs /dev/shm && ip link set lo up &&
//   exec ./bench/midi_loss_bench [presses [keyboards [longest gap in s [period]]]]'
// Defaults: 3000 presses, 40 keyboards, 20 s, 256-frame periods (32-frame ones xrun
// several times a second on a shared two-core machine). A press missing at the
// listener too was lost in the graph; one the listener heard and the service did not
// was lost in the service. Exits non-zero when any press was lost.
#include <cstdio>
#include <cstdlib>

#include "tests/support/IdlePresses.h"
#include "tests/support/TestService.h"

int main(int argc, char** argv) {
  int presses = argc > 1 ? std::atoi(argv[1]) : 3000;
  int keyboards = argc > 2 ? std::atoi(argv[2]) : 40;
  double longestGap = argc > 3 ? std::atof(argv[3]) : 20.0;
  int period = argc > 4 ? std::atoi(argv[4]) : 256;
  if (presses <= 0 || keyboards <= 0 || keyboards > 88 || longestGap < 0 || period <= 0) {
    std::fprintf(stderr,
                 "usage: midi_loss_bench [presses [keyboards (1-88) [longest gap in s [period]]]]\n");
    return 2;
  }
  if (portAccepts(19420)) {
    std::fprintf(stderr, "port 19420 is already in use; run in a private network namespace\n");
    return 1;
  }
  IdlePresses rig(keyboards, period);
  if (!rig.start()) return 1;
  std::printf("%d presses from %d keyboards, idle gaps of 0 to %.1f s; JACK %u frames at %u Hz\n",
              presses, keyboards, longestGap, rig.jack().periodFrames(), rig.jack().sampleRate());
  std::fflush(stdout);
  IdlePresses::Figures f = rig.press(presses, longestGap);
  for (const std::string& line : f.shortKeyboards) std::printf("  %s\n", line.c_str());
  std::printf("pressed %d (%d after 5 s or more of quiet) in %.0f s; not queued %d\n", f.pressed,
              f.afterLongGap, f.seconds, f.unsent);
  std::printf("keyboards put into the graph %llu messages (Note On and Off)\n",
              static_cast<unsigned long long>(f.delivered));
  long long lost = static_cast<long long>(f.pressed) - static_cast<long long>(f.reached);
  long long lostInGraph = static_cast<long long>(f.pressed) - static_cast<long long>(f.heard);
  std::printf("listener heard %llu presses; the service's callback took %zu; lost %lld "
              "(in the graph %lld, in the service %lld)\n",
              static_cast<unsigned long long>(f.heard), f.reached, lost, lostInGraph,
              lost - lostInGraph);
  std::printf("JACK xruns during the presses: %llu\n", static_cast<unsigned long long>(f.xruns));
  for (const auto& late : f.late) {
    std::printf("  late client %s: %d times\n", late.first.c_str(), late.second);
  }
  int status = rig.service().stop();
  return status == 0 && f.unsent == 0 && lost == 0 ? 0 : 1;
}
