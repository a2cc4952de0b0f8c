#!/bin/sh
# The object module Suffle defines the shuffle's functions and its four external globals under
# their own names, keeps its buffers to itself and holds no other module.
# Usage: check_suffle_symbols.sh <nm> <Suffle.o>
nm_program=$1
object=$2
symbols=$("$nm_program" "$object") || exit 1
status=0
for name in read_line_map extract_word hash_word add_line cmp_lines flush_batch write_line \
    flush_batch_out read_line_batch heap_cmp heap_swap heapify_down merge_batchs \
    suffle_process_files quovent_suffle; do
  echo "$symbols" | grep -qx "[0-9a-f]* T $name" || { echo "no function $name"; status=1; }
done
for name in buffer nlines batch_count num_reducers; do
  echo "$symbols" | grep -qx "[0-9a-f]* B $name" || { echo "no external global $name"; status=1; }
done
for name in line_pool outbuf outpos; do
  echo "$symbols" | grep -q "[BDT] $name\$" && { echo "$name is external"; status=1; }
done
for name in main Error print printMessage Msg write_fully; do
  echo "$symbols" | grep -q "[BDT] $name\$" && { echo "$name belongs to another module"; status=1; }
done
exit $status
