// Kernels: the ways of mapping bytes that the line engine is compiled with.
//
// Every kernel runs the very same line rules (line_engine.h); kernels differ
// only in how they find line ends and map a body. The table below lists
// them in order of preference, and serves the chooser, the tests and the
// fuzzers alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace qel {

// Why a job stopped when it refused nothing.
enum class JobStop : uint8_t {
    kInputUsed,  // every byte was taken
    kNeedInput,  // the next piece may go on past the bytes given
    kNeedRoom,   // the next piece's output does not fit the room left
    kOnePiece,   // one piece was asked for and taken
};

// One call of the line engine: whole pieces of in[0, avail) are converted
// into out[0, room).
struct Job {
    const unsigned char *in;
    size_t avail;
    bool at_end;     // the input ends with these bytes: a last piece without a line feed is taken too
    unsigned char *out;
    size_t room;
    bool force;      // encoding: lines that carry the encoded mark are encoded all the same
    bool one_piece;  // stop after the first piece
};

// Lines counted across the calls of one operation.
struct LineCount {
    uint64_t lines;      // lines begun, a line cut into pieces counted once; on a refusal, that line's number
    bool at_line_start;  // the last piece ended its line
};

struct JobResult {
    size_t consumed;  // input bytes of the pieces converted
    size_t produced;  // output bytes written for them
    int32_t code;     // QEL_RTN_SUCCESSFUL, or the code of the piece refused at in + consumed
    size_t refused;   // that piece's length (0 when nothing was refused)
    JobStop stop;     // when nothing was refused: why the job ended
};

using JobFn = JobResult (*)(const Job &job, LineCount *count);
// Maps the n-byte text in to the body out, with the build's shift increment.
using EncodeBodyFn = void (*)(const unsigned char *in, unsigned char *out, size_t n);
// Maps the n-byte body in to its text at out (which may stand up to three
// bytes before in) with shift increment s; answers whether the body holds
// a space, which no mapping yields.
using DecodeBodyFn = bool (*)(const unsigned char *in, unsigned char *out, size_t n, int s);

struct KernelOps {
    JobFn encode_job;
    JobFn decode_job;
    EncodeBodyFn encode_body;
    DecodeBodyFn decode_body;
};

struct Kernel {
    const char *name;
    bool (*runs)();  // whether this processor runs it
    KernelOps ops;
};

// Every kernel of this build, best first; the last is the portable one,
// which runs everywhere and is the others' oracle.
extern const Kernel kKernels[];
extern const size_t kKernelCount;

// The first kernel of the table that this processor runs. Asks the
// processor each time.
const Kernel &best_kernel();

// The kernel a stream or buffer call uses. Where the platform has GNU
// indirect functions this is the choice made once, when the library was
// loaded; elsewhere it asks the processor now, once per call.
KernelOps conversion_kernel();

// The kernel a record call uses: the load-time choice, or the portable
// kernel where there is none, so that no record pays for a query.
KernelOps record_kernel();

}  // namespace qel
