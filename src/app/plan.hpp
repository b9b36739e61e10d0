#pragma once

#include "app/options.hpp"

namespace shuffler {

// --plan: prints every group's regions as BED lines ("contig\tstart\tend\tgroup") for the shards
// of `config` over the contigs of the SAM, BAM or CRAM header it names (or of the reference), so that each
// shard's tools can be limited to the shard's own regions. Returns the exit status: 0, 1 for a
// header or plan that is refused (one line says why), 255 when the output cannot be written.
int print_plan(const run_config& config);

} // namespace shuffler
