// The object module Suffle, the shuffle stage: partition by key hash, sorted batch spills,
// k-way merge per reducer. Its parts, each in a source of its own beside this one, are compiled
// here as one translation unit:
// - the names the parts share (their tables, buffers and helpers) stay private to the object
//   file, whose only external names are those of shuffle/Suffle.h;
// - the compiler sees the whole per-line path (reading, partitioning, filing, comparing) at
//   once and inlines across the parts, as when they were one file.
// Separate objects would have to export what the parts share, and link-time optimisation would
// ship compiler bytecode in the installed Suffle.o. The parts' own headers declare what each
// offers the others, with internal linkage, and are for this translation unit alone; each part
// includes the headers of the parts it uses, so the order below does not matter.
#include "shuffle/BatchMerge.cpp"
#include "shuffle/BatchSort.cpp"
#include "shuffle/BatchSpill.cpp"
#include "shuffle/CollationKeys.cpp"
#include "shuffle/DistinctLines.cpp"
#include "shuffle/LineBytes.cpp"
#include "shuffle/LineReading.cpp"
#include "shuffle/LineWriting.cpp"
#include "shuffle/Partition.cpp"
#include "shuffle/SuffleStage.cpp"
