/* The W4 rows written by hand in C: the floor the compiled path is held to.
   tape_speed.py compiles this at run time (cc -O2, the C library's sin and
   cos) and calls it through ctypes on the same points as the other engines.
   Points are rows of 3 doubles, one after the other. */
#define _GNU_SOURCE /* sincos */
#include <math.h>
#include <stddef.h>

/* s = q.x + q.y + q.z with q = p * p + sin(p), added in that order. */
void w4_values(const double* points, size_t count, double* out) {
    for (size_t r = 0; r < count; ++r) {
        const double* p = points + 3 * r;
        const double x = p[0] * p[0] + sin(p[0]);
        const double y = p[1] * p[1] + sin(p[1]);
        const double z = p[2] * p[2] + sin(p[2]);
        out[r] = x + y + z;
    }
}

/* ds/dp = 2p + cos(p), lane by lane. */
void w4_gradients(const double* points, size_t count, double* out) {
    for (size_t k = 0; k < 3 * count; ++k) {
        out[k] = 2.0 * points[k] + cos(points[k]);
    }
}

/* The same rows laid out as a block interpreter lays them out: blocks of
   256 rows, each lane of a block in its own array, one loop per operation
   over the block (p * p, sin, the sum, the lane picks, the two adds), each
   result stored and its finiteness gathered into a flag. The floor of that
   layout with the C library's sin: what an interpreter that dispatches
   once per block and row loop can reach, where the loops above keep a
   row's arithmetic in registers beside its calls to sin. */
#include <stdint.h>
#include <string.h>

enum { HEIGHT = 256 };

static uint64_t not_finite(double v) {
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    return ((bits & 0x7fffffffffffffffu) + 0x0010000000000000u) & 0x8000000000000000u;
}

static uint64_t multiply(double* restrict y, const double* a, const double* b, size_t n) {
    uint64_t bad = 0;
    for (size_t r = 0; r < n; ++r) {
        y[r] = a[r] * b[r];
        bad |= not_finite(y[r]);
    }
    return bad;
}

static uint64_t add(double* restrict y, const double* a, const double* b, size_t n) {
    uint64_t bad = 0;
    for (size_t r = 0; r < n; ++r) {
        y[r] = a[r] + b[r];
        bad |= not_finite(y[r]);
    }
    return bad;
}

/* Also keeps cos for the reverse loops when `kept` is given. */
static uint64_t sine(double* restrict y, double* restrict kept, const double* x, size_t n) {
    uint64_t bad = 0;
    for (size_t r = 0; r < n; ++r) {
        if (kept) {
            sincos(x[r], &y[r], &kept[r]);
        } else {
            y[r] = sin(x[r]);
        }
        bad |= not_finite(y[r]);
    }
    return bad;
}

/* The forward loops of one block into `lane` (p, p * p, sin p, q: three
   lanes each; q's picks; the two sums); false when a value is not finite. */
static int forward_block(const double* points, size_t n, double* lane, double* kept) {
    double *p = lane, *m = p + 3 * HEIGHT, *s = m + 3 * HEIGHT, *q = s + 3 * HEIGHT;
    double *pick = q + 3 * HEIGHT, *t = pick + 3 * HEIGHT, *u = t + HEIGHT;
    uint64_t bad = 0;
    for (int k = 0; k < 3; ++k) {
        for (size_t r = 0; r < n; ++r) {
            p[k * HEIGHT + r] = points[3 * r + k];
        }
    }
    for (int k = 0; k < 3; ++k) bad |= multiply(m + k * HEIGHT, p + k * HEIGHT, p + k * HEIGHT, n);
    for (int k = 0; k < 3; ++k) bad |= sine(s + k * HEIGHT, kept ? kept + k * HEIGHT : NULL, p + k * HEIGHT, n);
    for (int k = 0; k < 3; ++k) bad |= add(q + k * HEIGHT, m + k * HEIGHT, s + k * HEIGHT, n);
    for (int k = 0; k < 3; ++k) memcpy(pick + k * HEIGHT, q + k * HEIGHT, n * sizeof(double));
    bad |= add(t, pick, pick + HEIGHT, n);
    bad |= add(u, t, pick + 2 * HEIGHT, n);
    return bad == 0;
}

/* Returns the number of rows done: count, or the first block's start that
   held a value not finite. */
size_t w4_values_in_blocks(const double* points, size_t count, double* out) {
    static double lane[17 * HEIGHT];
    for (size_t first = 0; first < count; first += HEIGHT) {
        const size_t n = count - first < HEIGHT ? count - first : HEIGHT;
        if (!forward_block(points + 3 * first, n, lane, NULL)) return first;
        memcpy(out + first, lane + 16 * HEIGHT, n * sizeof(double));
    }
    return count;
}

/* The reverse loops, one per operation as the forward ones, from the
   last: the seed 1 through the two sums and the picks into q's lanes, the
   sum q = m + s into both, sin's kept cos, and p * p's two operands. */
size_t w4_gradients_in_blocks(const double* points, size_t count, double* out) {
    static double lane[17 * HEIGHT], kept[3 * HEIGHT], adjoint[17 * HEIGHT];
    for (size_t first = 0; first < count; first += HEIGHT) {
        const size_t n = count - first < HEIGHT ? count - first : HEIGHT;
        if (!forward_block(points + 3 * first, n, lane, kept)) return first;
        const double* p = lane;
        double *gp = adjoint, *gm = gp + 3 * HEIGHT, *gs = gm + 3 * HEIGHT, *gq = gs + 3 * HEIGHT;
        double *gpick = gq + 3 * HEIGHT, *gt = gpick + 3 * HEIGHT, *gu = gt + HEIGHT;
        for (size_t r = 0; r < n; ++r) gu[r] = 1.0;
        for (size_t r = 0; r < n; ++r) gt[r] = gu[r] + 0.0;
        for (size_t r = 0; r < n; ++r) gpick[2 * HEIGHT + r] = gu[r] + 0.0;
        for (size_t r = 0; r < n; ++r) gpick[r] = gt[r] + 0.0;
        for (size_t r = 0; r < n; ++r) gpick[HEIGHT + r] = gt[r] + 0.0;
        for (int k = 0; k < 3; ++k) memcpy(gq + k * HEIGHT, gpick + k * HEIGHT, n * sizeof(double));
        for (int k = 0; k < 3; ++k) {
            for (size_t r = 0; r < n; ++r) gm[k * HEIGHT + r] = gq[k * HEIGHT + r] + 0.0;
            for (size_t r = 0; r < n; ++r) gs[k * HEIGHT + r] = gq[k * HEIGHT + r] + 0.0;
        }
        for (int k = 0; k < 3; ++k) {
            const double *c = kept + k * HEIGHT, *g = gs + k * HEIGHT;
            for (size_t r = 0; r < n; ++r) gp[k * HEIGHT + r] = g[r] * c[r] + 0.0;
        }
        for (int k = 0; k < 3; ++k) {
            const double *x = p + k * HEIGHT, *g = gm + k * HEIGHT;
            double* to = gp + k * HEIGHT;
            for (size_t r = 0; r < n; ++r) to[r] = to[r] + g[r] * x[r];
            for (size_t r = 0; r < n; ++r) to[r] = to[r] + g[r] * x[r];
        }
        for (int k = 0; k < 3; ++k) {
            for (size_t r = 0; r < n; ++r) out[3 * (first + r) + k] = gp[k * HEIGHT + r];
        }
    }
    return count;
}
