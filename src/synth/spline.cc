#include "synth/spline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstddef>

namespace quillet {

namespace {

// Pivots of the forward sweep of the natural spline: l[0] = 1, mu[0] = 0,
// l[i] = 4 - mu[i-1], mu[i] = 1 / l[i]. Entry i does not depend on the
// length of the system, so one table serves every length up to its own.
struct SweepPivots {
  std::vector<double> l;
  std::vector<double> mu;
  int settled = 0;  // from this entry on every l (and mu) is the same number
};

SweepPivots sweep_pivots(int n) {
  SweepPivots pivots;
  pivots.l.assign(static_cast<std::size_t>(n), 1.0);
  pivots.mu.assign(static_cast<std::size_t>(n), 0.0);
  int i = 1;
  for (; i < n; ++i) {
    pivots.l[i] = 4.0 - pivots.mu[i - 1];
    pivots.mu[i] = 1.0 / pivots.l[i];
    // Once l repeats itself (at 2 + sqrt 3, within some 20 entries) every
    // later entry repeats too.
    if (i >= 2 && pivots.l[i] == pivots.l[i - 1]) break;
  }
  for (int k = i + 1; k < n; ++k) {
    pivots.l[k] = pivots.l[i];
    pivots.mu[k] = pivots.mu[i];
  }
  pivots.settled = i < n ? i - 1 : n;
  return pivots;
}

const SweepPivots& block_pivots() {
  static const SweepPivots pivots = sweep_pivots(BLOCK_LENGTH);
  return pivots;
}

// The pivots for a system of n entries: the shared table, or longer ones
// built into the caller's record.
const SweepPivots& pivots_for(int n, SweepPivots& longer) {
  if (n <= BLOCK_LENGTH) return block_pivots();
  longer = sweep_pivots(n);
  return longer;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The right-hand side of entry i of the sweep, from the y entries around it.
inline double sweep_rhs(const SplinePiece* p, int i) {
  return 3.0 * (p[i + 1].y - p[i].y) - 3.0 * (p[i].y - p[i - 1].y);
}

// The forward sweep of the n entries of p into z, in spline_compute's
// operations. z[1 .. kept_end] hold a moved block's values, shift entries
// on; the new values are worked out until one of them (where the pivots
// have settled) has the bits of the moved one there. Returns that entry, or
// -1 when none had and every value is new.
int sweep_forward(const SplinePiece* p, double* z, int n, int kept_end, const SweepPivots& pivots) {
  const double* l = pivots.l.data();
  z[0] = 0.0;
  int met = -1;
  int i = 1;
  for (; i <= kept_end; ++i) {
    const double value = (sweep_rhs(p, i) - z[i - 1]) / l[i];
    if (i >= pivots.settled && same_bits(value, z[i])) {
      met = i;
      break;
    }
    z[i] = value;
  }
  for (i = std::max(i, kept_end + 1); i <= n - 2; ++i) z[i] = (sweep_rhs(p, i) - z[i - 1]) / l[i];
  z[n - 1] = 0.0;
  return met;
}

// The back substitution from the end of the block, in spline_compute's
// operations. With met >= 0, pieces met .. moved_end hold the moved
// block's pieces, shift entries on, over z values that are the same as
// theirs: once a new c has the bits of the moved one, so does every c down
// to met, and so do those pieces whole; the substitution goes on from met.
void substitute_back(SplinePiece* p, const double* z, int n, int met, int moved_end, const SweepPivots& pivots) {
  const double* mu = pivots.mu.data();
  p[n - 1].b = 0.0;
  p[n - 1].c = 0.0;
  p[n - 1].d = 0.0;
  double c_next = 0.0;
  double y_next = p[n - 1].y;
  for (int j = n - 2; j >= 0; --j) {
    const double c = z[j] - mu[j] * c_next;
    const bool meets = met >= 0 && j > met && j <= moved_end && same_bits(c, p[j].c);
    p[j].c = c;
    p[j].b = (y_next - p[j].y) - (c_next + 2.0 * c) / 3.0;
    p[j].d = (c_next - c) / 3.0;
    c_next = c;
    y_next = p[j].y;
    if (meets) {
      j = met;
      c_next = p[met].c;
      y_next = p[met].y;
    }
  }
}

// Frame frame of the store, channel 0, with stride samples per frame: 0.0
// outside the store.
inline double frame_value(const SampleStore& samples, int64_t frame, int64_t stride) {
  const int64_t index = frame * stride;
  const bool inside = stride > 0 && index >= 0 && index < static_cast<int64_t>(samples.size());
  return inside ? static_cast<double>(samples[static_cast<std::size_t>(index)]) : 0.0;
}

// The block's pieces with y from count frames starting at first_frame, read
// as convert_block reads them, and b, c and d at 0.
void fill_pieces(SplinePiece* pieces, const SampleStore& samples, int first_frame, int count, int channels) {
  const int64_t stride = channels < 1 ? 0 : channels;
  for (int k = 0; k < count; ++k) {
    pieces[k] = SplinePiece{frame_value(samples, static_cast<int64_t>(first_frame) + k, stride), 0.0, 0.0, 0.0};
  }
}

}  // namespace

void convert_block(double* destination, const SampleStore& samples, int first_frame, int count,
                   int channels) {
  // Frames before frame 0 and frames past the end of the store (its zero tail
  // included) read as silence. More than two channels read the first channel
  // of each frame, as stereo does.
  const int64_t stride = channels < 1 ? 0 : channels;
  for (int k = 0; k < count; ++k) {
    destination[k] = frame_value(samples, static_cast<int64_t>(first_frame) + k, stride);
  }
}

void spline_compute(const double* y, int n, double* b, double* c, double* d) {
  if (n < 2) {
    if (n == 1) c[0] = 0.0;
    return;
  }
  // Tridiagonal system of the natural spline at unit spacing: diagonal 4,
  // off-diagonals 1, solved by one forward sweep and one back substitution.
  // The pivots l and their reciprocals mu do not depend on y. The sweep keeps
  // its z in c, which the back substitution then overwrites.
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  c[0] = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const double r = 3.0 * (y[i + 1] - y[i]) - 3.0 * (y[i] - y[i - 1]);
    c[i] = (r - c[i - 1]) / l[i];
  }
  c[n - 1] = 0.0;
  for (int j = n - 2; j >= 0; --j) {
    c[j] = c[j] - mu[j] * c[j + 1];
    b[j] = (y[j + 1] - y[j]) - (c[j + 1] + 2.0 * c[j]) / 3.0;
    d[j] = (c[j + 1] - c[j]) / 3.0;
  }
}

namespace {

typedef double PairLanes __attribute__((vector_size(16)));

}  // namespace

void spline_compute_two(SplineArrays first, SplineArrays second, int n) {
  if (n < 2 || simd_level() == SimdLevel::plain) {
    spline_compute(first.y, n, first.b, first.c, first.d);
    spline_compute(second.y, n, second.b, second.c, second.d);
    return;
  }
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  const double* l = pivots.l.data();
  const double* mu = pivots.mu.data();
  PairLanes before = PairLanes{first.y[0], second.y[0]};
  PairLanes here = PairLanes{first.y[1], second.y[1]};
  PairLanes z = PairLanes{0.0, 0.0};
  first.c[0] = 0.0;
  second.c[0] = 0.0;
  for (int i = 1; i <= n - 2; ++i) {
    const PairLanes next = PairLanes{first.y[i + 1], second.y[i + 1]};
    const PairLanes r = 3.0 * (next - here) - 3.0 * (here - before);
    z = (r - z) / l[i];
    first.c[i] = z[0];
    second.c[i] = z[1];
    before = here;
    here = next;
  }
  first.c[n - 1] = 0.0;
  second.c[n - 1] = 0.0;
  PairLanes y_next = here;
  PairLanes c_next = PairLanes{0.0, 0.0};
  for (int j = n - 2; j >= 0; --j) {
    const PairLanes y = PairLanes{first.y[j], second.y[j]};
    const PairLanes c = PairLanes{first.c[j], second.c[j]} - mu[j] * c_next;
    const PairLanes b = (y_next - y) - (c_next + 2.0 * c) / 3.0;
    const PairLanes d = (c_next - c) / 3.0;
    first.c[j] = c[0];
    second.c[j] = c[1];
    first.b[j] = b[0];
    second.b[j] = b[1];
    first.d[j] = d[0];
    second.d[j] = d[1];
    c_next = c;
    y_next = y;
  }
}

void load_spline_block(SplineBlock& block, const SampleStore& samples, int origin, int channels) {
  block.origin = origin;
  const int n = static_cast<int>(block.pieces.size());
  fill_pieces(block.pieces.data(), samples, origin, n, channels);
  if (n < 2) return;
  SweepPivots longer;
  const SweepPivots& pivots = pivots_for(n, longer);
  std::vector<double> sweep(static_cast<std::size_t>(n));
  sweep_forward(block.pieces.data(), sweep.data(), n, 0, pivots);
  substitute_back(block.pieces.data(), sweep.data(), n, -1, -1, pivots);
}

namespace {

// Places the block shift entries on from earlier in to's window, its first
// BLOCK_LENGTH - shift entries (and sweep values) those of earlier: where
// they already are when earlier is to and the window has room, else copied
// to the window's start.
void place_moved_block(SweptBlock& to, const SweptBlock& earlier, int shift) {
  const int kept = BLOCK_LENGTH - shift;
  const int from = earlier.first + shift;
  if (&to == &earlier && from + BLOCK_LENGTH <= SWEPT_WINDOW) {
    to.first = from;
    return;
  }
  std::memmove(static_cast<void*>(to.window.data()), earlier.window.data() + from, sizeof(SplinePiece) * kept);
  std::memmove(to.sweep.data(), earlier.sweep.data() + from, sizeof(double) * kept);
  to.first = 0;
}

void mark_loaded(SweptBlock& to, const SampleStore& samples, int origin, int channels) {
  to.origin = origin;
  to.store = &samples;
  to.channels = channels;
}

bool fits_window(const SweptBlock& block) {
  return block.window.size() == static_cast<std::size_t>(SWEPT_WINDOW) &&
         block.sweep.size() == static_cast<std::size_t>(SWEPT_WINDOW) && block.first >= 0 &&
         block.first <= SWEPT_WINDOW - BLOCK_LENGTH;
}

// Block to made from earlier, moved shift entries on; false (to untouched)
// when earlier is of no use for it.
bool move_swept_block(SweptBlock& to, const SweptBlock& earlier, const SampleStore& samples, int origin,
                      int channels) {
  constexpr int n = BLOCK_LENGTH;
  const int64_t shift = static_cast<int64_t>(origin) - earlier.origin;
  const bool usable = earlier.store == &samples && earlier.channels == channels && fits_window(earlier) &&
                      fits_window(to) && shift > 0 && shift <= n / 2 && block_pivots().settled < n / 2;
  if (!usable) return false;
  place_moved_block(to, earlier, static_cast<int>(shift));
  mark_loaded(to, samples, origin, channels);
  const int kept = n - static_cast<int>(shift);
  SplinePiece* p = to.window.data() + to.first;
  double* z = to.sweep.data() + to.first;
  fill_pieces(p + kept, samples, origin + kept, n - kept, channels);
  const int met = sweep_forward(p, z, n, kept - 2, block_pivots());
  substitute_back(p, z, n, met, kept - 1, block_pivots());
  return true;
}

}  // namespace

void load_swept_block(SweptBlock& to, const SweptBlock& earlier, const SampleStore& samples, int origin,
                      int channels) {
  if (move_swept_block(to, earlier, samples, origin, channels)) return;
  to.window.resize(SWEPT_WINDOW);
  to.sweep.resize(SWEPT_WINDOW);
  to.first = 0;
  mark_loaded(to, samples, origin, channels);
  fill_pieces(to.window.data(), samples, origin, BLOCK_LENGTH, channels);
  sweep_forward(to.window.data(), to.sweep.data(), BLOCK_LENGTH, 0, block_pivots());
  substitute_back(to.window.data(), to.sweep.data(), BLOCK_LENGTH, -1, -1, block_pivots());
}

}  // namespace quillet
