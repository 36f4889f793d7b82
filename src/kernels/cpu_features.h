// What this processor runs, asked of the processor itself.
#pragma once

namespace qel {

bool cpu_runs_avx2();
bool cpu_runs_avx512vbmi();

}  // namespace qel
