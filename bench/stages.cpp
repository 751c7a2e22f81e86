// Per-stage times of one sweep through the core, the stages called in the
// order sweep_folds calls them. Reads a sweep written by bench/run.py:
//   stages FILE REPEATS
// FILE holds: int64 nrays, ngates, interval_splits, skip_between_rays,
// skip_along_ray, rays_wrap_around; float64 nyquist; nrays*ngates float32
// velocities; nrays*ngates uint8 mask. Prints one line per stage: the
// median milliseconds over REPEATS runs, of the thread's CPU time, so that
// time the machine gives to other work is not counted.
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "vornak/edges.hpp"
#include "vornak/network.hpp"
#include "vornak/regions.hpp"
#include "vornak/sweep.hpp"

namespace {

// The calling thread's CPU time, in milliseconds.
struct Clock {
  static double now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
  }
};

double ms_since(double t0) { return Clock::now() - t0; }

// glibc as a long-running Python process has it once its thresholds have risen
// with the large blocks freed there: a call's blocks are taken from the heap
// that the previous call left, not mapped and faulted in anew, so that the
// stages are timed as the extension's call runs (a page fault costs about 2 us
// here, and a smooth call would otherwise take some 1,500 of them).
void allocate_as_a_long_running_process() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  allocate_as_a_long_running_process();
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FILE REPEATS\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::int64_t header[6];
  double nyquist = 0;
  in.read(reinterpret_cast<char*>(header), sizeof header);
  in.read(reinterpret_cast<char*>(&nyquist), sizeof nyquist);
  const auto nrays = static_cast<std::size_t>(header[0]);
  const auto ngates = static_cast<std::size_t>(header[1]);
  vornak::SweepParams params;
  params.interval_splits = header[2];
  params.skip_between_rays = header[3];
  params.skip_along_ray = header[4];
  const bool wrap = header[5] != 0;
  const std::size_t n = nrays * ngates;
  std::vector<float> vel(n);
  std::vector<std::uint8_t> mask(n);
  in.read(reinterpret_cast<char*>(vel.data()), static_cast<std::streamsize>(n * sizeof(float)));
  in.read(reinterpret_cast<char*>(mask.data()), static_cast<std::streamsize>(n));
  if (!in) {
    std::fprintf(stderr, "%s: short file\n", argv[1]);
    return 1;
  }
  const int repeats = std::max(1, std::atoi(argv[2]));

  const char* names[] = {"interval limits", "regions (labelling, sizes)",
                         "boundaries (walks, pair tallies)", "network set-up", "network merges",
                         "centring and output", "whole sweep_folds"};
  constexpr int stages = 7;
  std::vector<std::vector<double>> times(stages);
  std::size_t regions_found = 0;
  std::size_t boundaries_found = 0;
  for (int r = 0; r <= repeats; ++r) {  // run 0 is the warm-up
    double t[stages];
    // As sweep_folds does: labelling within the Nyquist interval first, the
    // limits' own pass and labelling again only when a velocity lies beyond.
    auto t0 = Clock::now();
    vornak::Extremes seen;
    auto within = vornak::find_regions_within_nyquist(vel, mask, nrays, ngates, nyquist,
                                                      params.interval_splits, seen);
    const double first_labelling = ms_since(t0);
    t0 = Clock::now();
    const auto limits =
        within ? vornak::IntervalLimits{}
               : vornak::interval_limits(nyquist, params.interval_splits, vel, mask, seen);
    t[0] = ms_since(t0);
    t0 = Clock::now();
    if (!within) within = vornak::find_regions(vel, mask, nrays, ngates, limits);
    auto& regions = *within;
    t[1] = ms_since(t0) + first_labelling;
    const vornak::Buffer<std::int32_t>& sizes = regions.sizes;
    t0 = Clock::now();
    vornak::Edges boundaries = vornak::find_boundaries(
        regions.labels, regions.region_count, vel, nrays, ngates, wrap, params.skip_between_rays,
        params.skip_along_ray);
    t[2] = ms_since(t0);
    boundaries_found = boundaries.size();
    t0 = Clock::now();
    auto tracker = vornak::Tracker::from_boundaries(std::move(boundaries), regions.region_count,
                                                    sizes, nyquist + nyquist);
    t[3] = ms_since(t0);
    t0 = Clock::now();
    auto folds = std::move(tracker).solve();
    t[4] = ms_since(t0);
    t0 = Clock::now();
    if (params.centered) vornak::center_folds(folds, sizes);
    // As sweep_folds does: the labels become the fold counts in place.
    vornak::FoldCounts& out = regions.labels;
    for (std::int32_t& gate : out) gate = folds[static_cast<std::size_t>(gate)];
    t[5] = ms_since(t0);
    t0 = Clock::now();
    const auto whole = vornak::sweep_folds(vel, nrays, ngates, mask, nyquist, wrap, params);
    t[6] = ms_since(t0);
    if (!std::equal(whole.begin(), whole.end(), out.begin())) {
      std::fprintf(stderr, "stages disagree with sweep_folds\n");
      return 1;
    }
    regions_found = static_cast<std::size_t>(regions.region_count);
    if (r > 0) {
      for (int s = 0; s < stages; ++s) times[static_cast<std::size_t>(s)].push_back(t[s]);
    }
  }
  std::printf("regions %zu boundaries %zu gates %zu\n", regions_found, boundaries_found, n);
  for (int s = 0; s < stages; ++s) {
    auto& v = times[static_cast<std::size_t>(s)];
    std::sort(v.begin(), v.end());
    std::printf("%s\t%.3f\n", names[s], v[v.size() / 2]);
  }
  return 0;
}
