// The supernodal Cholesky factorisation: the pattern's analysis, done once,
// a left-looking numeric factorisation over dense blocks, the solve and the
// selected inverse's diagonal.
#include "symbolic/detail/supernodal_cholesky.h"

#include <Eigen/Dense>
#include <Eigen/OrderingMethods>
#include <algorithm>
#include <cmath>
#include <limits>

namespace varnel::symbolic {

using Eigen::Index;
using Eigen::VectorXd;

namespace {

using Block = Eigen::Map<Eigen::MatrixXd>;
using ConstBlock = Eigen::Map<const Eigen::MatrixXd>;

// The lower triangle's pattern in a new order, as rows: row r lists the
// columns c < r of its entries (the diagonal left out).
struct PermutedRows {
    std::vector<std::int64_t> starts;
    std::vector<int> columns;
};

PermutedRows permuted_rows(const SupernodalCholesky::Matrix& lower, const std::vector<int>& new_of_old) {
    const Index n = lower.cols();
    const int* outer = lower.outerIndexPtr();
    const int* inner = lower.innerIndexPtr();
    PermutedRows rows;
    rows.starts.assign(static_cast<std::size_t>(n) + 1, 0);
    auto each_entry = [&](auto&& visit) {
        for (Index j = 0; j < n; ++j) {
            for (int p = outer[j]; p < outer[j + 1]; ++p) {
                const int a = new_of_old[static_cast<std::size_t>(inner[p])];
                const int b = new_of_old[static_cast<std::size_t>(j)];
                if (a != b) {
                    visit(std::max(a, b), std::min(a, b));
                }
            }
        }
    };
    each_entry([&](int r, int) { ++rows.starts[static_cast<std::size_t>(r) + 1]; });
    for (Index r = 0; r < n; ++r) {
        rows.starts[static_cast<std::size_t>(r) + 1] += rows.starts[static_cast<std::size_t>(r)];
    }
    rows.columns.resize(static_cast<std::size_t>(rows.starts.back()));
    std::vector<std::int64_t> next(rows.starts.begin(), rows.starts.end() - 1);
    each_entry([&](int r, int c) { rows.columns[static_cast<std::size_t>(next[static_cast<std::size_t>(r)]++)] = c; });
    return rows;
}

// The elimination tree (-1 for a root), by Liu's algorithm with path
// compression.
std::vector<int> elimination_tree(const PermutedRows& rows, Index n) {
    std::vector<int> parent(static_cast<std::size_t>(n), -1);
    std::vector<int> ancestor(static_cast<std::size_t>(n), -1);
    for (int k = 0; k < n; ++k) {
        for (std::int64_t p = rows.starts[static_cast<std::size_t>(k)]; p < rows.starts[static_cast<std::size_t>(k) + 1];
             ++p) {
            int i = rows.columns[static_cast<std::size_t>(p)];
            while (i != -1 && i < k) {
                const int next = ancestor[static_cast<std::size_t>(i)];
                ancestor[static_cast<std::size_t>(i)] = k;
                if (next == -1) {
                    parent[static_cast<std::size_t>(i)] = k;
                }
                i = next;
            }
        }
    }
    return parent;
}

// The tree's nodes in postorder (children before their parent, each
// subtree contiguous), which keeps a supernode's columns adjacent.
std::vector<int> postorder(const std::vector<int>& parent) {
    const int n = static_cast<int>(parent.size());
    std::vector<int> first_child(parent.size(), -1);
    std::vector<int> next_sibling(parent.size(), -1);
    for (int j = n - 1; j >= 0; --j) {
        const int p = parent[static_cast<std::size_t>(j)];
        if (p != -1) {
            next_sibling[static_cast<std::size_t>(j)] = first_child[static_cast<std::size_t>(p)];
            first_child[static_cast<std::size_t>(p)] = j;
        }
    }
    std::vector<int> order;
    order.reserve(parent.size());
    std::vector<int> stack;
    for (int root = 0; root < n; ++root) {
        if (parent[static_cast<std::size_t>(root)] != -1) {
            continue;
        }
        stack.push_back(root);
        while (!stack.empty()) {
            const int j = stack.back();
            const int child = first_child[static_cast<std::size_t>(j)];
            if (child != -1) {
                // Visit the child next; unlink it so j's next visit takes
                // the following one.
                first_child[static_cast<std::size_t>(j)] = next_sibling[static_cast<std::size_t>(child)];
                stack.push_back(child);
            } else {
                order.push_back(j);
                stack.pop_back();
            }
        }
    }
    return order;
}

// Calls visit(j) for each column j < k with L(k, j) nonzero: the subtree
// of the elimination tree that row k's entries reach, up to k. `mark`
// holds, per column, the last row that reached it.
template <typename Visit>
void row_pattern(const PermutedRows& rows, const std::vector<int>& parent, int k, std::vector<int>& mark,
                 Visit&& visit) {
    mark[static_cast<std::size_t>(k)] = k;
    for (std::int64_t p = rows.starts[static_cast<std::size_t>(k)]; p < rows.starts[static_cast<std::size_t>(k) + 1];
         ++p) {
        for (int j = rows.columns[static_cast<std::size_t>(p)]; mark[static_cast<std::size_t>(j)] != k;
             j = parent[static_cast<std::size_t>(j)]) {
            mark[static_cast<std::size_t>(j)] = k;
            visit(j);
        }
    }
}

}  // namespace

SupernodalCholesky::SupernodalCholesky(const Matrix& lower, const SupernodalKernels& kernels)
    : kernels_(&kernels), n_(lower.cols()) {
    const auto n = static_cast<std::size_t>(n_);
    // Eigen's AMDOrdering gives the new order's columns as old ones. It
    // orders the pattern of A + A^T, which the lower triangle alone gives.
    std::vector<int> new_of_old(n);
    {
        Eigen::PermutationMatrix<Eigen::Dynamic, Eigen::Dynamic, int> order;
        Eigen::AMDOrdering<int>()(lower, order);
        old_of_new_.assign(order.indices().data(), order.indices().data() + n_);
    }
    for (std::size_t k = 0; k < n; ++k) {
        new_of_old[static_cast<std::size_t>(old_of_new_[k])] = static_cast<int>(k);
    }
    PermutedRows rows = permuted_rows(lower, new_of_old);
    std::vector<int> parent = elimination_tree(rows, n_);
    // Postordered, the same fill: a relabelling of the tree.
    {
        const std::vector<int> post = postorder(parent);
        std::vector<int> old_of_post(n);
        for (std::size_t k = 0; k < n; ++k) {
            old_of_post[k] = old_of_new_[static_cast<std::size_t>(post[k])];
        }
        old_of_new_ = std::move(old_of_post);
        for (std::size_t k = 0; k < n; ++k) {
            new_of_old[static_cast<std::size_t>(old_of_new_[k])] = static_cast<int>(k);
        }
        rows = permuted_rows(lower, new_of_old);
        parent = elimination_tree(rows, n_);
    }

    // Each column's entries below the diagonal, and its children.
    std::vector<int> below(n, 0);
    std::vector<int> children(n, 0);
    std::vector<int> mark(n, -1);
    for (int k = 0; k < n_; ++k) {
        row_pattern(rows, parent, k, mark, [&](int j) { ++below[static_cast<std::size_t>(j)]; });
        if (parent[static_cast<std::size_t>(k)] != -1) {
            ++children[static_cast<std::size_t>(parent[static_cast<std::size_t>(k)])];
        }
    }
    // Column j continues the supernode of j - 1 when j - 1 is j's only
    // child and j - 1's pattern is j's with j: a child's pattern less its
    // parent is within the parent's, so equal sizes mean equal sets.
    supernode_of_.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        const bool continues = j > 0 && parent[j - 1] == static_cast<int>(j) && children[j] == 1 &&
                               below[j - 1] == below[j] + 1;
        if (!continues) {
            // Its rows: the first column's, from its diagonal down.
            supernodes_.push_back({static_cast<Index>(j), 0, below[j] + 1, 0, 0});
        }
        ++supernodes_.back().columns;
        supernode_of_[j] = static_cast<int>(supernodes_.size() - 1);
    }
    std::int64_t row_count = 0;
    std::int64_t value_count = 0;
    for (Supernode& s : supernodes_) {
        s.row_start = row_count;
        s.value_start = value_count;
        row_count += s.rows;
        value_count += s.rows * s.columns;
    }

    // The supernodes' rows: row k is in the supernode of each column its
    // pattern reaches, and in its own; k rising, each list ascends. A
    // column's path up the tree runs through whole supernodes (within one,
    // each column's parent is the next), so it is climbed a supernode at a
    // time: a step per supernode a row reaches, not per entry of L.
    rows_.resize(static_cast<std::size_t>(row_count));
    std::vector<std::int64_t> filled(supernodes_.size());
    std::vector<int> supernode_parent(supernodes_.size(), -1);
    for (std::size_t s = 0; s < supernodes_.size(); ++s) {
        filled[s] = supernodes_[s].row_start;
        const auto last = static_cast<std::size_t>(supernodes_[s].first + supernodes_[s].columns - 1);
        if (parent[last] != -1) {
            supernode_parent[s] = supernode_of_[static_cast<std::size_t>(parent[last])];
        }
    }
    std::vector<int> last_row(supernodes_.size(), -1);
    for (int k = 0; k < n_; ++k) {
        const int own = supernode_of_[static_cast<std::size_t>(k)];
        last_row[static_cast<std::size_t>(own)] = k;
        for (std::int64_t p = rows.starts[static_cast<std::size_t>(k)];
             p < rows.starts[static_cast<std::size_t>(k) + 1]; ++p) {
            for (int s = supernode_of_[static_cast<std::size_t>(rows.columns[static_cast<std::size_t>(p)])];
                 last_row[static_cast<std::size_t>(s)] != k; s = supernode_parent[static_cast<std::size_t>(s)]) {
                last_row[static_cast<std::size_t>(s)] = k;
                rows_[static_cast<std::size_t>(filled[static_cast<std::size_t>(s)]++)] = k;
            }
        }
        rows_[static_cast<std::size_t>(filled[static_cast<std::size_t>(own)]++)] = k;
    }

    // Which supernodes each one updates: its rows below its columns, in
    // runs by the supernode whose columns they are.
    update_starts_.assign(supernodes_.size() + 1, 0);
    Index largest_product = 0;
    auto each_update = [&](auto&& visit) {
        for (std::size_t k = 0; k < supernodes_.size(); ++k) {
            const Supernode& s = supernodes_[k];
            const int* r = rows_.data() + s.row_start;
            for (Index begin = s.columns; begin < s.rows;) {
                const int target = supernode_of_[static_cast<std::size_t>(r[begin])];
                const Index target_end = supernodes_[static_cast<std::size_t>(target)].first +
                                         supernodes_[static_cast<std::size_t>(target)].columns;
                Index end = begin;
                while (end < s.rows && r[end] < target_end) {
                    ++end;
                }
                visit(target, Update{static_cast<int>(k), target, static_cast<int>(begin), static_cast<int>(end), 0});
                largest_product = std::max(largest_product, (s.rows - begin) * (end - begin));
                begin = end;
            }
        }
    };
    each_update([&](int target, const Update&) { ++update_starts_[static_cast<std::size_t>(target) + 1]; });
    for (std::size_t s = 0; s < supernodes_.size(); ++s) {
        update_starts_[s + 1] += update_starts_[s];
    }
    updates_.resize(static_cast<std::size_t>(update_starts_.back()));
    std::vector<std::int64_t> next(update_starts_.begin(), update_starts_.end() - 1);
    each_update([&](int target, const Update& u) {
        updates_[static_cast<std::size_t>(next[static_cast<std::size_t>(target)]++)] = u;
    });

    // Where each update's rows go in the supernode it updates.
    std::vector<int> position(n);
    std::int64_t relative_count = 0;
    for (const Update& u : updates_) {
        relative_count += supernodes_[static_cast<std::size_t>(u.source)].rows - u.begin;
    }
    relative_.reserve(static_cast<std::size_t>(relative_count));
    for (std::size_t t = 0; t < supernodes_.size(); ++t) {
        const Supernode& target = supernodes_[t];
        const int* target_rows = rows_.data() + target.row_start;
        for (Index i = 0; i < target.rows; ++i) {
            position[static_cast<std::size_t>(target_rows[i])] = static_cast<int>(i);
        }
        for (std::int64_t u = update_starts_[t]; u < update_starts_[t + 1]; ++u) {
            Update& update = updates_[static_cast<std::size_t>(u)];
            const Supernode& source = supernodes_[static_cast<std::size_t>(update.source)];
            update.relative_start = static_cast<std::int64_t>(relative_.size());
            for (Index i = update.begin; i < source.rows; ++i) {
                relative_.push_back(position[static_cast<std::size_t>(rows_[static_cast<std::size_t>(source.row_start + i)])]);
            }
        }
    }

    // Where each entry of A goes: its row's position in its column's
    // supernode; grouped by supernode, so that a factorisation places a
    // supernode's entries just before it factorises it.
    const int* outer = lower.outerIndexPtr();
    const int* inner = lower.innerIndexPtr();
    const auto entries = static_cast<std::size_t>(lower.nonZeros());
    std::vector<int> supernode_of_entry(entries);
    std::vector<std::int64_t> place_of_entry(entries);
    value_starts_.assign(supernodes_.size() + 1, 0);
    for (Index j = 0; j < n_; ++j) {
        for (int p = outer[j]; p < outer[j + 1]; ++p) {
            const int a = new_of_old[static_cast<std::size_t>(inner[p])];
            const int b = new_of_old[static_cast<std::size_t>(j)];
            const int r = std::max(a, b);
            const int c = std::min(a, b);
            const int k = supernode_of_[static_cast<std::size_t>(c)];
            const Supernode& s = supernodes_[static_cast<std::size_t>(k)];
            const int* first = rows_.data() + s.row_start;
            const Index at = std::lower_bound(first, first + s.rows, r) - first;
            supernode_of_entry[static_cast<std::size_t>(p)] = k;
            place_of_entry[static_cast<std::size_t>(p)] = s.value_start + (c - s.first) * s.rows + at;
            ++value_starts_[static_cast<std::size_t>(k) + 1];
        }
    }
    for (std::size_t k = 0; k < supernodes_.size(); ++k) {
        value_starts_[k + 1] += value_starts_[k];
    }
    value_entry_.resize(entries);
    value_place_.resize(entries);
    {
        std::vector<std::int64_t> next_value(value_starts_.begin(), value_starts_.end() - 1);
        for (std::size_t p = 0; p < entries; ++p) {
            const auto e = static_cast<std::size_t>(next_value[static_cast<std::size_t>(supernode_of_entry[p])]++);
            value_entry_[e] = static_cast<std::int64_t>(p);
            value_place_[e] = place_of_entry[p];
        }
    }
    factor_.resize(static_cast<std::size_t>(value_count));
    product_.resize(static_cast<std::size_t>(largest_product));
}

Index SupernodalCholesky::factorize(const double* values, double free_pivot) {
    Index free = 0;
    for (std::size_t t = 0; t < supernodes_.size(); ++t) {
        const Supernode& target = supernodes_[t];
        double* block = factor_.data() + target.value_start;
        std::fill_n(block, target.rows * target.columns, 0.0);
        for (std::int64_t e = value_starts_[t]; e < value_starts_[t + 1]; ++e) {
            factor_[static_cast<std::size_t>(value_place_[static_cast<std::size_t>(e)])] =
                values[value_entry_[static_cast<std::size_t>(e)]];
        }
        for (std::int64_t u = update_starts_[t]; u < update_starts_[t + 1]; ++u) {
            const Update& update = updates_[static_cast<std::size_t>(u)];
            const Supernode& source = supernodes_[static_cast<std::size_t>(update.source)];
            const Index below = source.rows - update.begin;
            const Index across = update.end - update.begin;
            // L(R, K) L(Q, K)^T: R the source's rows from the run on, Q the
            // run's, in the target's columns.
            kernels_->update_product(factor_.data() + source.value_start + update.begin, source.rows, below, across,
                                     source.columns, product_.data());
            const double* product = product_.data();
            const int* relative = relative_.data() + update.relative_start;
            for (Index c = 0; c < across; ++c) {
                // The run's rows are the target's columns, in its first rows.
                double* column = block + relative[c] * target.rows;
                const double* from = product + c * below;
                for (Index i = c; i < below; ++i) {
                    column[relative[i]] -= from[i];
                }
            }
        }
        free += kernels_->factorize_block(block, target.rows, target.columns, free_pivot);
    }
    return free;
}

double SupernodalCholesky::least_pivot() const {
    double least = std::numeric_limits<double>::infinity();
    for (const Supernode& s : supernodes_) {
        for (Index c = 0; c < s.columns; ++c) {
            const double l = factor_[static_cast<std::size_t>(s.value_start + c * s.rows + c)];
            least = std::min(least, l * l);
        }
    }
    return least;
}

VectorXd SupernodalCholesky::solve(const VectorXd& b) const {
    VectorXd y(n_);
    for (Index k = 0; k < n_; ++k) {
        y(k) = b(old_of_new_[static_cast<std::size_t>(k)]);
    }
    Index widest_below = 0;
    for (const Supernode& s : supernodes_) {
        widest_below = std::max(widest_below, s.rows - s.columns);
    }
    VectorXd gathered(widest_below);
    // L y' = y.
    for (const Supernode& s : supernodes_) {
        const ConstBlock l(factor_.data() + s.value_start, s.rows, s.columns);
        const int* below = rows_.data() + s.row_start + s.columns;
        const Index m = s.rows - s.columns;
        auto part = y.segment(s.first, s.columns);
        l.topRows(s.columns).triangularView<Eigen::Lower>().solveInPlace(part);
        if (m == 0) {
            continue;
        }
        gathered.head(m).noalias() = l.bottomRows(m) * part;
        for (Index i = 0; i < m; ++i) {
            y(below[i]) -= gathered(i);
        }
    }
    // L^T x = y'.
    for (auto s = supernodes_.rbegin(); s != supernodes_.rend(); ++s) {
        const ConstBlock l(factor_.data() + s->value_start, s->rows, s->columns);
        const int* below = rows_.data() + s->row_start + s->columns;
        const Index m = s->rows - s->columns;
        for (Index i = 0; i < m; ++i) {
            gathered(i) = y(below[i]);
        }
        auto part = y.segment(s->first, s->columns);
        if (m > 0) {
            part.noalias() -= l.bottomRows(m).transpose() * gathered.head(m);
        }
        l.topRows(s->columns).triangularView<Eigen::Lower>().transpose().solveInPlace(part);
    }
    VectorXd x(n_);
    for (Index k = 0; k < n_; ++k) {
        x(old_of_new_[static_cast<std::size_t>(k)]) = y(k);
    }
    return x;
}

VectorXd SupernodalCholesky::inverse_diagonal() {
    // Z = (L L^T)^-1 on L's pattern, a supernode J (columns J, rows S
    // below them) at a time from the last. With Lhat = L(S, J) L(J, J)^-1,
    // Z(S, J) = -Z(S, S) Lhat and Z(J, J) = L(J, J)^-T L(J, J)^-1 -
    // Z(S, J)^T Lhat. Z(S, S) is known by then, S's rows being later
    // columns, and within L's pattern: the rows of S after a row s are in
    // column s's pattern, so in the supernode holding column s.
    // Z(J) is written over L(J) once L(J) is read: the selected inverse
    // takes no storage of the factor's size.
    KernelBuffer& z = factor_;
    Index widest = 0;
    Index widest_below = 0;
    for (const Supernode& s : supernodes_) {
        widest = std::max(widest, s.columns);
        widest_below = std::max(widest_below, s.rows - s.columns);
    }
    KernelBuffer zss(static_cast<std::size_t>(widest_below * widest_below));
    KernelBuffer scratch(static_cast<std::size_t>(2 * widest * (widest + widest_below)));
    // Each supernode's updates of later ones, in the order of its rows:
    // S's runs by the supernode holding them as columns, with the positions
    // of S's rows from each run on in that supernode (relative_).
    std::vector<std::int64_t> source_starts(supernodes_.size() + 1, 0);
    for (const Update& u : updates_) {
        ++source_starts[static_cast<std::size_t>(u.source) + 1];
    }
    for (std::size_t k = 0; k < supernodes_.size(); ++k) {
        source_starts[k + 1] += source_starts[k];
    }
    std::vector<std::int64_t> by_source(updates_.size());
    {
        std::vector<std::int64_t> next(source_starts.begin(), source_starts.end() - 1);
        // updates_ runs by target ascending, so each source's runs come out
        // in the order of its rows.
        for (std::size_t u = 0; u < updates_.size(); ++u) {
            by_source[static_cast<std::size_t>(next[static_cast<std::size_t>(updates_[u].source)]++)] =
                static_cast<std::int64_t>(u);
        }
    }
    for (std::size_t jk = supernodes_.size(); jk-- > 0;) {
        const Supernode* j = &supernodes_[jk];
        const Index w = j->columns;
        const Index m = j->rows - w;
        // Z(S, S)'s lower triangle, gathered from the later supernodes
        // holding S's rows as columns.
        Block gathered(zss.data(), m, m);
        for (std::int64_t q = source_starts[jk]; q < source_starts[jk + 1]; ++q) {
            const Update& run = updates_[static_cast<std::size_t>(by_source[static_cast<std::size_t>(q)])];
            const Supernode& k = supernodes_[static_cast<std::size_t>(run.target)];
            const double* zk = z.data() + k.value_start;
            const int* relative = relative_.data() + run.relative_start;
            // Row run.begin + i of J is row s = run.begin + i - w of S, at
            // position relative[i] in K; the run's rows are K's columns.
            for (Index c = 0; c < run.end - run.begin; ++c) {
                const double* column = zk + static_cast<Index>(relative[c]) * k.rows;
                const Index t1 = run.begin - w + c;
                for (Index i = c; i < j->rows - run.begin; ++i) {
                    gathered(run.begin - w + i, t1) = column[relative[i]];
                }
            }
        }
        kernels_->inverse_step(factor_.data() + j->value_start, w, m, zss.data(), z.data() + j->value_start,
                               scratch.data());
    }
    VectorXd diagonal(n_);
    for (const Supernode& s : supernodes_) {
        for (Index c = 0; c < s.columns; ++c) {
            diagonal(old_of_new_[static_cast<std::size_t>(s.first + c)]) =
                z[static_cast<std::size_t>(s.value_start + c * s.rows + c)];
        }
    }
    return diagonal;
}

}  // namespace varnel::symbolic
