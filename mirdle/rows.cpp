#include "rows.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <new>

#include "broken_pipe.h"
#include "method.h"
#include "mirdle.h"
#include "pvalue.h"
#include "report.h"
#include "vp_alloc.h"

namespace {

// The rows in flight hold at most about this many doubles between them, and
// at least two rows per computing thread.
constexpr size_t window_doubles = size_t{1} << 20;
constexpr size_t rows_per_thread = 64;

constexpr char no_row_memory[] = "mirdle: Could not allocate the rows in flight.\n";

// A pair of conditions as every row of the run has it: the replicate counts
// are fixed by the first row, and with them every pair's method.
struct pair_shape {
    int i, j;
    pair_plan plan;
    bool computed;  // a job for a thread: near-exact with 2 to 12 pairs, or Mann-Whitney
    bool draws;     // a sampled near-exact pair drawing from the run's one sequence
    // A later pair of the row reads condition i or j: this pair works on
    // copies of the two arrays, at at_i and at_j in the row's values.
    bool copy;
    size_t at_i, at_j;
};

struct row_shape {
    draw_source draws;
    size_t n;
    size_t reps[MAX_CONDITIONS];
    size_t offset[MAX_CONDITIONS];  // each condition's array in a row's values
    size_t pairs;                   // up to the first limit pair, included
    size_t values;                  // the row's arrays, then the copies
    pair_shape *pair;
};

struct row_slot {
    read_result kind;
    read_fault fault;
    row_text id;
    double sums[MAX_CONDITIONS];
    double sds[MAX_CONDITIONS];
    double *values;
    double *p;
    near_exact_fault *faults;
    unsigned remaining;  // computed pairs not yet done
    // The row as written, and where lines for standard error go in it.
    row_text text;
    size_t *note_at;
    const char **note;
    size_t notes;
    int status;  // 0, or the status that ends the run inside this row
    bool ready;
};

bool make_shape(const table_reader &r, bool near_exact, draw_source draws, row_shape &shape)
{
    shape.draws = draws;
    shape.n = r.n;
    size_t values = 0;
    for (size_t c = 0; c < r.n; ++c) {
        shape.reps[c] = r.reps[c];
        shape.offset[c] = values;
        values += r.reps[c];
    }
    const size_t all_pairs = r.n * (r.n - 1) / 2;
    shape.pair = static_cast<pair_shape *>(vp_malloc(all_pairs, sizeof(pair_shape)));
    if (shape.pair == nullptr)
        return false;
    size_t t = 0;
    for (int i = 0; i + 1 < static_cast<int>(r.n); ++i)
        for (int j = i + 1; j < static_cast<int>(r.n); ++j, ++t) {
            pair_shape &ps = shape.pair[t];
            ps.i = i;
            ps.j = j;
            ps.plan = plan_pair(r.reps[i], r.reps[j], near_exact);
            ps.computed =
                ps.plan.method == pair_method::mann_whitney ||
                (ps.plan.method == pair_method::near_exact && near_exact_adjusts(ps.plan.pairs));
            ps.draws = draws == draw_source::run && plan_draws(ps.plan);
        }
    // Pairs after a limit pair are never reached.
    shape.pairs = all_pairs;
    for (size_t k = 0; k < all_pairs; ++k)
        if (shape.pair[k].plan.method == pair_method::limit) {
            shape.pairs = k + 1;
            break;
        }
    for (size_t k = 0; k < shape.pairs; ++k) {
        pair_shape &ps = shape.pair[k];
        ps.copy = false;
        for (size_t later = k + 1; later < shape.pairs && !ps.copy; ++later) {
            const pair_shape &o = shape.pair[later];
            ps.copy = o.i == ps.i || o.j == ps.i || o.i == ps.j || o.j == ps.j;
        }
        if (ps.copy) {
            ps.at_i = values;
            ps.at_j = values + shape.reps[ps.i];
            values += shape.reps[ps.i] + shape.reps[ps.j];
        }
    }
    shape.values = values;
    return true;
}

bool make_slot(const row_shape &shape, row_slot &s)
{
    s = row_slot{};
    s.values = static_cast<double *>(vp_malloc(shape.values, sizeof(double)));
    s.p = static_cast<double *>(vp_malloc(shape.pairs, sizeof(double)));
    s.faults = static_cast<near_exact_fault *>(vp_malloc(shape.pairs, sizeof(near_exact_fault)));
    s.note_at = static_cast<size_t *>(vp_malloc(shape.pairs, sizeof(size_t)));
    s.note = static_cast<const char **>(vp_malloc(shape.pairs, sizeof(const char *)));
    return s.values && s.p && s.faults && s.note_at && s.note;
}

void free_slot(row_slot &s)
{
    vp_free(s.values);
    vp_free(s.p);
    vp_free(s.faults);
    vp_free(s.note_at);
    vp_free(s.note);
    s.id.release();
    s.text.release();
    s.fault.message.release();
}

// The arrays pair k works on.
double *input_i(const row_shape &shape, row_slot &s, size_t k)
{
    const pair_shape &ps = shape.pair[k];
    return s.values + (ps.copy ? ps.at_i : shape.offset[ps.i]);
}
double *input_j(const row_shape &shape, row_slot &s, size_t k)
{
    const pair_shape &ps = shape.pair[k];
    return s.values + (ps.copy ? ps.at_j : shape.offset[ps.j]);
}

// Takes the feature that r holds into s and gives every pair its arrays: the
// copies of a pair that a later one reads are taken before the near-exact
// pair replaces their zeros, as it will in the shared arrays.
void plan_row(const table_reader &r, const row_shape &shape, row_slot &s)
{
    s.kind = read_result::row;
    s.id.clear();
    text_sink{&s.id}.put("%s", feature_id(r));
    for (size_t c = 0; c < shape.n; ++c) {
        s.sums[c] = r.sums[c];
        s.sds[c] = r.sds[c];
        std::memcpy(s.values + shape.offset[c], r.rep_counts[c], shape.reps[c] * sizeof(double));
    }
    s.remaining = 0;
    s.status = 0;
    s.ready = false;
    size_t nan_at[MAX_CONDITIONS];
    for (size_t c = 0; c < shape.n; ++c)
        nan_at[c] = first_nan(r.rep_counts[c], shape.reps[c]);
    for (size_t k = 0; k < shape.pairs; ++k) {
        const pair_shape &ps = shape.pair[k];
        // NaN marks a pair whose counts hold one; its P-value stays so.
        s.p[k] = pair_reads_nan(ps.plan, nan_at[ps.i], nan_at[ps.j], shape.reps[ps.i],
                                shape.reps[ps.j])
                     ? NAN
                     : 1.0;
        s.faults[k] = near_exact_fault::none;
        if (ps.plan.method == pair_method::near_exact && ps.plan.pairs > near_exact_max_pairs)
            s.faults[k] = near_exact_fault::too_many_pairs;
        s.remaining += ps.computed;
        if (!ps.copy)
            continue;
        double *own_i = s.values + shape.offset[ps.i], *own_j = s.values + shape.offset[ps.j];
        std::memcpy(s.values + ps.at_i, own_i, shape.reps[ps.i] * sizeof(double));
        std::memcpy(s.values + ps.at_j, own_j, shape.reps[ps.j] * sizeof(double));
        if (ps.plan.method == pair_method::near_exact && near_exact_adjusts(ps.plan.pairs))
            adjust_zero_counts(own_i, own_j, ps.plan.pairs);
    }
}

void compute_pair(const row_shape &shape, row_slot &s, size_t k)
{
    const pair_shape &ps = shape.pair[k];
    double *a = input_i(shape, s, k), *b = input_j(shape, s, k);
    const size_t reps_i = shape.reps[ps.i], reps_j = shape.reps[ps.j];
    const bool reads_nan =
        std::isnan(s.p[k]) ||
        pair_reads_nan(ps.plan, first_nan(a, reps_i), first_nan(b, reps_j), reps_i, reps_j);
    if (ps.plan.method == pair_method::mann_whitney)
        s.p[k] = mann_whitney_pval(a, b, shape.reps[ps.i], shape.reps[ps.j]);
    else
        s.p[k] = near_exact_pval_checked(a, b, ps.plan.pairs, &s.faults[k], shape.draws);
    if (reads_nan)
        s.p[k] = NAN;
}

// Every computed pair of the row, in pair order.
void compute_row(const row_shape &shape, row_slot &s)
{
    for (size_t k = 0; k < shape.pairs; ++k)
        if (shape.pair[k].computed)
            compute_pair(shape, s, k);
}

void add_note(row_slot &s, const char *message)
{
    s.note_at[s.notes] = s.text.len;
    s.note[s.notes++] = message;
}

// The row's text, from its P-values, ending where the run would end.
void format_row(const row_shape &shape, row_slot &s)
{
    s.text.clear();
    s.text.failed = false;
    s.notes = 0;
    if (s.id.failed) {
        s.text.failed = true;
        return;
    }
    text_sink out{&s.text};
    put_row_head(out, s.id.data, s.sums, s.sds, shape.reps, static_cast<int>(shape.n));
    for (size_t k = 0; k < shape.pairs; ++k) {
        const pair_shape &ps = shape.pair[k];
        put_fold_change(out, s.sums[ps.i], s.sums[ps.j]);
        if (ps.plan.method == pair_method::limit) {
            add_note(s, near_exact_limit_message);
            s.status = exit_usage;
            return;
        }
        if (s.faults[k] != near_exact_fault::none) {
            add_note(s, near_exact_fault_message(s.faults[k]));
            if (s.faults[k] != near_exact_fault::too_many_pairs) {
                s.status = exit_no_memory;
                return;
            }
        }
        put_pvalue(out, s.p[k]);
    }
    out.put("\n");
}

struct row_writer {
    FILE *report;
    bool terminal;
    unsigned long features_done = 0;

    // Writes a finished slot.  Returns 0 to go on, or the run's status (also
    // 0 at the end of the tables, with done set).
    int write(row_slot &s, bool &done)
    {
        done = true;
        if (s.kind == read_result::end)
            return 0;
        if (s.kind == read_result::fault)
            return report_fault(s.fault);
        if (s.text.failed || s.id.failed) {
            std::fputs(no_row_memory, stderr);
            return exit_no_memory;
        }
        int err = 0;
        size_t from = 0;
        for (size_t k = 0; k <= s.notes; ++k) {
            const size_t to = k < s.notes ? s.note_at[k] : s.text.len;
            errno = 0;
            if (std::fwrite(s.text.data + from, 1, to - from, report) != to - from && err == 0)
                err = errno ? errno : EIO;
            if (k < s.notes)
                std::fputs(s.note[k], stderr);
            from = to;
        }
        if (s.status)
            return s.status;
        if (err)
            return report_write_error(err);
        if (std::ferror(report))
            return report_write_error(flush_error(report));
        progress_mark(++features_done, terminal);
        done = false;
        return 0;
    }
};

// Reads the next feature into s and plans it.
void read_into(table_reader &r, const row_shape &shape, row_slot &s)
{
    s.kind = read_feature(r, s.fault);
    if (s.kind == read_result::row) {
        plan_row(r, shape, s);
    } else {
        s.ready = true;
        s.remaining = 0;
    }
}

int write_rows_in_turn(table_reader &r, const row_shape &shape, row_slot &s, row_writer &out)
{
    for (;;) {
        read_into(r, shape, s);
        if (s.kind == read_result::row) {
            compute_row(shape, s);
            format_row(shape, s);
        }
        bool done = false;
        const int status = out.write(s, done);
        if (done || status)
            return status;
    }
}

// Rows go to the threads in blocks, so that a thread takes the lock once for
// many rows: the pairs of a block's rows that may run in any order are one
// job, and the block's sampled pairs another, run in block order, one block
// at a time.
constexpr unsigned block_rows = 32;

struct block_state {
    unsigned first;  // slot of its first row
    unsigned rows;   // rows read into it
    bool last;       // the slot after its rows holds the end of the tables or a fault
    unsigned parts;  // jobs not yet done
    bool ready;      // every row of it is formatted
};

struct job {
    unsigned block;
    bool draws;
};

// A first-in first-out queue of fixed capacity.
struct job_queue {
    job *items = nullptr;
    size_t cap = 0, head = 0, count = 0;

    void push(job j) { items[(head + count++) % cap] = j; }
    job pop()
    {
        const job j = items[head];
        head = (head + 1) % cap;
        --count;
        return j;
    }
};

struct pipeline {
    const row_shape *shape;
    row_slot *slots;
    block_state *blocks;
    unsigned n_blocks;
    bool has_any = false, has_draws = false;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;  // a job is queued, or stop
    pthread_cond_t done = PTHREAD_COND_INITIALIZER;  // a block is ready
    job_queue any;    // blocks whose unordered pairs wait
    job_queue draws;  // blocks whose sampled pairs wait, in input order
    bool drawing = false;  // a block's sampled pairs run: the next block's wait
    bool stop = false;
};

void compute_block(pipeline &pl, const block_state &b, bool draws)
{
    const row_shape &shape = *pl.shape;
    for (unsigned r = 0; r < b.rows; ++r) {
        row_slot &s = pl.slots[b.first + r];
        for (size_t k = 0; k < shape.pairs; ++k)
            if (shape.pair[k].computed && shape.pair[k].draws == draws)
                compute_pair(shape, s, k);
    }
}

void format_block(pipeline &pl, const block_state &b)
{
    for (unsigned r = 0; r < b.rows; ++r)
        format_row(*pl.shape, pl.slots[b.first + r]);
}

void *worker(void *arg)
{
    pipeline &pl = *static_cast<pipeline *>(arg);
    pthread_mutex_lock(&pl.lock);
    for (;;) {
        if (pl.stop)
            break;
        job j;
        if (!pl.drawing && pl.draws.count > 0) {
            j = pl.draws.pop();
            pl.drawing = true;
        } else if (pl.any.count > 0) {
            j = pl.any.pop();
        } else {
            pthread_cond_wait(&pl.work, &pl.lock);
            continue;
        }
        block_state &b = pl.blocks[j.block];
        pthread_mutex_unlock(&pl.lock);
        compute_block(pl, b, j.draws);
        pthread_mutex_lock(&pl.lock);
        if (j.draws) {
            pl.drawing = false;
            if (pl.draws.count > 0)
                pthread_cond_signal(&pl.work);
        }
        if (--b.parts == 0) {
            pthread_mutex_unlock(&pl.lock);
            format_block(pl, b);
            pthread_mutex_lock(&pl.lock);
            b.ready = true;
            pthread_cond_signal(&pl.done);
        }
    }
    pthread_mutex_unlock(&pl.lock);
    return nullptr;
}

unsigned blocks_for(const row_shape &shape, unsigned threads)
{
    const size_t per_row = shape.values + 4 * shape.pairs + 64;
    size_t rows = rows_per_thread * threads;
    if (rows * per_row > window_doubles)
        rows = window_doubles / per_row;
    size_t blocks = rows / block_rows;
    if (blocks < 2 * static_cast<size_t>(threads))
        blocks = 2 * static_cast<size_t>(threads);
    return static_cast<unsigned>(blocks);
}

// Reads up to a block of rows into b; a last slot that is not a row ends the
// input.
void read_block(table_reader &r, const row_shape &shape, pipeline &pl, block_state &b)
{
    b.rows = 0;
    b.last = false;
    b.ready = false;
    while (b.rows < block_rows) {
        row_slot &s = pl.slots[b.first + b.rows];
        read_into(r, shape, s);
        if (s.kind != read_result::row) {
            b.last = true;
            return;
        }
        ++b.rows;
    }
}

int write_rows_in_parallel(table_reader &r, const row_shape &shape, row_writer &out,
                           unsigned threads)
{
    pipeline pl;
    pl.shape = &shape;
    for (size_t k = 0; k < shape.pairs; ++k)
        if (shape.pair[k].computed)
            (shape.pair[k].draws ? pl.has_draws : pl.has_any) = true;
    pl.n_blocks = blocks_for(shape, threads);
    // Every block has a slot more for the end of the tables or a fault.
    const unsigned per_block = block_rows + 1;
    const unsigned n_slots = pl.n_blocks * per_block;
    pl.slots = static_cast<row_slot *>(vp_malloc(n_slots, sizeof(row_slot)));
    pl.blocks = static_cast<block_state *>(vp_malloc(pl.n_blocks, sizeof(block_state)));
    pl.any.items = static_cast<job *>(vp_malloc(pl.n_blocks, sizeof(job)));
    pl.draws.items = static_cast<job *>(vp_malloc(pl.n_blocks, sizeof(job)));
    pl.any.cap = pl.draws.cap = pl.n_blocks;
    pthread_t *ids = static_cast<pthread_t *>(vp_malloc(threads, sizeof(pthread_t)));
    unsigned made = 0;
    bool ok = pl.slots && pl.blocks && pl.any.items && pl.draws.items && ids;
    while (ok && made < n_slots) {
        new (&pl.slots[made]) row_slot;
        ok = make_slot(shape, pl.slots[made++]);
    }
    int status = 0;
    if (!ok) {
        std::fputs(no_row_memory, stderr);
        status = exit_no_memory;
    }
    unsigned started = 0;
    while (status == 0 && started < threads) {
        const int err = pthread_create(&ids[started], nullptr, worker, &pl);
        if (err != 0) {
            std::fprintf(stderr, "mirdle: Could not start %u threads: %s.\n", threads,
                         std::strerror(err));
            status = exit_no_memory;
        } else {
            ++started;
        }
    }

    unsigned long next_read = 0, next_write = 0;  // blocks
    bool input_done = false;
    while (status == 0) {
        block_state &w = pl.blocks[next_write % pl.n_blocks];
        pthread_mutex_lock(&pl.lock);
        while (!(next_write < next_read && w.ready) &&
               !(!input_done && next_read - next_write < pl.n_blocks))
            pthread_cond_wait(&pl.done, &pl.lock);
        const bool to_write = next_write < next_read && w.ready;
        pthread_mutex_unlock(&pl.lock);
        if (to_write) {
            bool done = false;
            for (unsigned k = 0; k < w.rows + w.last && status == 0 && !done; ++k)
                status = out.write(pl.slots[w.first + k], done);
            ++next_write;
            if (done)
                break;
            continue;
        }
        const unsigned at = static_cast<unsigned>(next_read % pl.n_blocks);
        block_state &b = pl.blocks[at];
        b.first = at * per_block;
        read_block(r, shape, pl, b);
        input_done = b.last;
        ++next_read;
        const bool any = pl.has_any && b.rows > 0, draws = pl.has_draws && b.rows > 0;
        if (!any && !draws)
            format_block(pl, b);
        pthread_mutex_lock(&pl.lock);
        b.parts = any + draws;
        b.ready = b.parts == 0;
        if (any)
            pl.any.push({at, false});
        if (draws)
            pl.draws.push({at, true});
        if (any || draws)
            pthread_cond_broadcast(&pl.work);
        pthread_mutex_unlock(&pl.lock);
    }

    pthread_mutex_lock(&pl.lock);
    pl.stop = true;
    pthread_cond_broadcast(&pl.work);
    pthread_mutex_unlock(&pl.lock);
    for (unsigned t = 0; t < started; ++t)
        pthread_join(ids[t], nullptr);
    for (unsigned k = 0; k < made; ++k)
        free_slot(pl.slots[k]);
    vp_free(pl.slots);
    vp_free(pl.blocks);
    vp_free(pl.any.items);
    vp_free(pl.draws.items);
    vp_free(ids);
    return status;
}

}  // namespace

int report_fault(const read_fault &fault)
{
    if (fault.message.failed) {
        std::fputs(no_row_memory, stderr);
        return exit_no_memory;
    }
    std::fwrite(fault.message.data, 1, fault.message.len, stderr);
    return fault.status;
}

void progress_mark(unsigned long features_done, bool terminal)
{
    if (features_done % 100 != 0)
        return;
    if (terminal)
        std::fprintf(stderr, "%lu\r", features_done);
    else
        std::fputc('.', stderr);
}

int flush_error(FILE *report)
{
    errno = 0;
    if (std::fflush(report) != 0 && errno != 0)
        return errno;
    return EIO;
}

int write_rows(table_reader &r, FILE *report, bool near_exact, unsigned threads,
               draw_source draws)
{
    row_writer out{report, isatty(fileno(stdout)) != 0};
    // The first feature fixes the replicate counts, and with them every
    // pair's method and the size of a row.
    row_slot first{};
    first.kind = read_feature(r, first.fault);
    if (first.kind != read_result::row) {
        bool done = false;
        const int status = out.write(first, done);
        first.fault.message.release();
        return status;
    }
    row_shape shape{};
    if (!make_shape(r, near_exact, draws, shape) || !make_slot(shape, first)) {
        std::fputs(no_row_memory, stderr);
        free_slot(first);
        vp_free(shape.pair);
        return exit_no_memory;
    }
    plan_row(r, shape, first);
    compute_row(shape, first);
    format_row(shape, first);
    bool done = false;
    int status = out.write(first, done);
    if (status == 0 && !done)
        status = threads > 1 ? write_rows_in_parallel(r, shape, out, threads)
                             : write_rows_in_turn(r, shape, first, out);
    free_slot(first);
    vp_free(shape.pair);
    return status;
}
