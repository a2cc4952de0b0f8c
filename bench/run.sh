#!/usr/bin/env bash
# Benchmark of QuoventMR against its peers and a speed yardstick, on generated prose, under
# C.UTF-8 and en_US.UTF-8.
#
#   bench/run.sh [--sizes 40,200] [--corpora prose,wide] [--rounds 5]
#                [--locales C.UTF-8,en_US.UTF-8] [--seed 1] [--bin DIR] [--work DIR] [--no-tools]
#                [--small-shards 8M] [--sharded-only]
#
# --no-tools leaves out the two counts made of the platform's text tools (Quovent and the
# classic pipe), which take most of a round. --small-shards sets the shard size of the
# QuoventMR_v3 row whose shards are small enough that each core takes several. --sharded-only
# times the yardstick and QuoventMR_v3 alone, for corpora beyond what the stage programs take
# (QuoventMR's shuffle opens all its batches at once): each QuoventMR_v3 row's totals are then
# checked word by word against the yardstick's.
#
# Corpora: "prose" draws its words from a vocabulary of 60,000 (about 60,000 distinct words at
# 40 MB), "wide" from 300,000 (about 275,000), "vocab" from 2,000,000 (about 1.9 million at
# 512 MB), where sorting and merging the distinct words is most of the work. The yardstick is the hand-tuned one-core
# in-memory counter of ../shared/bench/wc_fast.cpp, built here and timed in every round; every
# row gives its time as a ratio to the yardstick's (skipped with a note where ../shared is
# absent) and to QuoventMR -r 1's.
#
# Programs run one after another, interleaved round by round, so that a change in the machine's
# load hits every program alike; the table shows medians. Every round checks that QuoventMR,
# QuoventMR_v2a and QuoventMR_v2b wrote the same result and that QuoventMR's totals on an
# ASCII-only corpus equal those of the classic tr/sort/uniq pipe, and that every QuoventMR_v3
# row wrote QuoventMR -r 1's result. The tables go to <work>/report.txt and, drawn from them
# with gnuplot (Debian package gnuplot-nox), a chart of seconds per MB to <work>/chart.svg.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
sizes=40
corpora=prose
rounds=5
tools=1
locales=C.UTF-8,en_US.UTF-8
seed=1
small_shards=8M
stages=1
bin=$repo/build/bin
work=$repo/build/bench

while [ $# -gt 0 ]; do
  case $1 in
    --sizes) sizes=$2; shift 2 ;;
    --corpora) corpora=$2; shift 2 ;;
    --no-tools) tools=0; shift ;;
    --rounds) rounds=$2; shift 2 ;;
    --locales) locales=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --small-shards) small_shards=$2; shift 2 ;;
    --sharded-only) stages=0; shift ;;
    --bin) bin=$(cd "$2" && pwd); shift 2 ;;
    --work) work=$2; shift 2 ;;
    -h|--help) sed -n '2,28p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

for program in QuoventMR Quovent; do
  [ -x "$bin/$program" ] || { echo "missing $bin/$program: build first" >&2; exit 1; }
done
have_v2a=0; [ -x "$bin/QuoventMR_v2a" ] && have_v2a=1
have_v2b=0; [ -x "$bin/QuoventMR_v2b" ] && have_v2b=1
have_v3=0; [ -x "$bin/QuoventMR_v3" ] && have_v3=1
# The Unicode word rule, in builds that have it.
have_unicode=0
if [ $have_v3 = 1 ]; then
  case $("$bin/QuoventMR_v3" --help 2>&1 || true) in *--words*) have_unicode=1 ;; esac
fi
[ $have_v2a = 1 ] || echo "note: $bin/QuoventMR_v2a not built: its rows and checks are skipped"
[ $have_v2b = 1 ] || echo "note: $bin/QuoventMR_v2b not built: its rows and checks are skipped"
[ $have_v3 = 1 ] || echo "note: $bin/QuoventMR_v3 not built: its rows and checks are skipped"

have_compressors=0
command -v gzip > /dev/null && command -v zstd > /dev/null && have_compressors=1
[ $have_compressors = 1 ] || echo "note: gzip or zstd not found: the compressed-input rows are skipped"

mkdir -p "$work/corpora" "$work/locales"
work=$(cd "$work" && pwd)

# The yardstick, built from its source beside the repository.
yardstick_source=$repo/../shared/bench/wc_fast.cpp
yardstick=
if [ -f "$yardstick_source" ]; then
  yardstick=$work/wc_fast
  if [ ! -x "$yardstick" ] || [ "$yardstick_source" -nt "$yardstick" ]; then
    g++ -O2 -o "$yardstick" "$yardstick_source"
  fi
else
  echo "note: $yardstick_source not found: no yardstick row and no ratios to it"
fi

# en_US.UTF-8 is generated, so that every machine collates alike whatever it has installed.
export LOCPATH=$work/locales
for locale in ${locales//,/ }; do
  case $locale in
    C.UTF-8) ;;
    *) [ -d "$LOCPATH/$locale" ] || localedef -i "${locale%%.*}" -f UTF-8 "$LOCPATH/$locale" ;;
  esac
done

# Corpora: each kind at each size, its two halves (split at a line end) and an ASCII corpus.
vocabulary() {  # vocabulary KIND
  case $1 in
    prose) echo 60000 ;;
    wide) echo 300000 ;;
    vocab) echo 2000000 ;;
    *) echo "unknown corpus: $1" >&2; exit 2 ;;
  esac
}
corpus() {  # corpus NAME MEGABYTES [make_corpus.py options]
  local file=$work/corpora/$1 megabytes=$2
  shift 2
  if [ ! -s "$file" ]; then
    echo "generating $(basename "$file") ($megabytes MB)" >&2
    python3 "$here/make_corpus.py" --seed "$seed" --megabytes "$megabytes" "$@" "$file.part"
    mv "$file.part" "$file"
  fi
  echo "$file"
}
for kind in ${corpora//,/ }; do
  for size in ${sizes//,/ }; do
    whole=$(corpus "${kind}_${seed}_${size}.txt" "$size" --vocabulary "$(vocabulary "$kind")")
    if [ ! -s "$whole.half1" ]; then
      lines=$(wc -l < "$whole")
      head -n $((lines / 2)) "$whole" > "$whole.half0"
      tail -n +$((lines / 2 + 1)) "$whole" > "$whole.half1"
    fi
    # The same text compressed, for QuoventMR_v3 on compressed input against decompression alone.
    [ $have_compressors = 1 ] && [ ! -s "$whole.gz" ] && gzip -c "$whole" > "$whole.gz"
    [ $have_compressors = 1 ] && [ ! -s "$whole.zst" ] && zstd -q -c "$whole" > "$whole.zst"
  done
done
ascii=$(corpus "ascii_${seed}_2.txt" 2 --ascii)

# run_timed LABEL DIR COMMAND...: runs the command in DIR (fresh tmp/ and Result/) and appends
# "label wall user+sys maxrss_kib" to the round's measurements.
run_timed() {
  local label=$1 dir=$2; shift 2
  rm -rf "$dir"; mkdir -p "$dir/tmp" "$dir/Result"
  # Every program starts with the page cache written back: a run writes its input's size in
  # work files several times over, and the disk writing out what the programs before it wrote
  # would otherwise slow whichever program happens to run then.
  sync
  # Wall time from the nanosecond clock: time's own has a resolution of 10 ms, too coarse for
  # the fastest rows.
  local started ended
  started=$(date +%s%N)
  (cd "$dir" && /usr/bin/time -o "$dir/time.txt" -f '%e %U %S %M' "$@" > "$dir/stdout.txt" 2> "$dir/stderr.txt")
  ended=$(date +%s%N)
  read -r _ user sys rss < "$dir/time.txt"
  wall=$(awk -v s="$started" -v e="$ended" 'BEGIN { printf "%.4f", (e - s) / 1e9 }')
  awk -v l="$label" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v n="$round" \
    'BEGIN { print l, w, u + s, r, n }' >> "$measurements"
}

classic_pipe() {  # classic_pipe INPUT OUTPUT
  tr -cs A-Za-z '\n' < "$1" | tr A-Z a-z | sort | uniq -c | sort -rn > "$2"
}

# The classic pipe counts an empty word when the text starts with a separator; it is no word.
as_totals() {  # QuoventMR result lines "word n" -> sorted "n word"
  awk '{ print $2, $1 }' "$1" | LC_ALL=C sort
}
pipe_totals() {
  awk 'NF == 2 { print $1, $2 }' "$1" | LC_ALL=C sort
}

failures=0
check_same() {  # check_same WHAT FILE1 FILE2
  if ! cmp -s "$2" "$3"; then
    echo "CHECK FAILED: $1: $2 and $3 differ" >&2
    failures=$((failures + 1))
  fi
}

# The totals of the words below 250 bytes: the yardstick keeps a longer word whole, where the
# product cuts it at 255 bytes.
short_totals() {  # short_totals "word n" lines -> sorted "n word"
  LC_ALL=C awk 'length($1) < 250 { print $2, $1 }' "$1" | LC_ALL=C sort
}

# A QuoventMR_v3 row's result: QuoventMR -r 1's bytes, or, with --sharded-only, the yardstick's
# totals word by word.
check_v3() {  # check_v3 WHAT RESULT
  if [ $stages = 1 ]; then
    check_same "$1 against QuoventMR -r 1" "$2" "$runs/mr1/Result/qv.txt"
  elif [ -n "$yardstick" ]; then
    short_totals "$2" > "$2.sorted"
    check_same "$1 totals against the yardstick's" "$2.sorted" "$runs/yardstick/totals.sorted"
  fi
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

report=$work/report.txt
: > "$report"
echo "machine: $(nproc) cores; load average before: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$report"

for locale in ${locales//,/ }; do
  export LC_ALL=$locale
  for kind in ${corpora//,/ }; do
  for size in ${sizes//,/ }; do
    whole=$work/corpora/${kind}_${seed}_${size}.txt
    mb=$(awk -v b="$(stat -c %s "$whole")" 'BEGIN { printf "%.2f", b / 1e6 }')
    measurements=$work/measurements_${locale}_${kind}_${size}.txt
    : > "$measurements"
    runs=$work/runs
    for round in $(seq 1 "$rounds"); do
      echo "[$locale, $kind, $size MB] round $round of $rounds" >&2
      if [ -n "$yardstick" ]; then
        run_timed "yardstick" "$runs/yardstick" "$yardstick" "$whole"
      fi
      if [ $stages = 0 ] && [ -n "$yardstick" ]; then
        short_totals "$runs/yardstick/stdout.txt" > "$runs/yardstick/totals.sorted"
      fi
      [ $stages = 1 ] && run_timed "QuoventMR_-r_1" "$runs/mr1" "$bin/QuoventMR" -r 1 "$whole"
      [ $stages = 1 ] && run_timed "QuoventMR_-r_4" "$runs/mr4" "$bin/QuoventMR" -r 4 "$whole"
      if [ $stages = 1 ] && [ $have_v2a = 1 ]; then
        run_timed "QuoventMR_v2a_-r_1" "$runs/v2a" "$bin/QuoventMR_v2a" -r 1 "$whole"
        check_same "v2a -r 1 against QuoventMR -r 1" "$runs/v2a/Result/qv.txt" "$runs/mr1/Result/qv.txt"
      fi
      if [ $stages = 1 ] && [ $have_v2b = 1 ]; then
        run_timed "QuoventMR_v2b_-m_-r_2" "$runs/v2b" "$bin/QuoventMR_v2b" -m -r 2 "$whole.half0" "$whole.half1"
        # The reference for two reducers over the same two files, not timed.
        rm -rf "$runs/mr2"; mkdir -p "$runs/mr2/tmp" "$runs/mr2/Result"
        (cd "$runs/mr2" && "$bin/QuoventMR" -r 2 "$whole.half0" "$whole.half1" > /dev/null)
        check_same "v2b -m -r 2 against QuoventMR -r 2" "$runs/v2b/Result/qv.txt" "$runs/mr2/Result/qv.txt"
      fi
      if [ $have_v3 = 1 ]; then
        # Shards of the default size, and shards small enough that each core takes several.
        for sharding in "-j 1" "-j 2" "-j 2 -s $small_shards"; do
          label="QuoventMR_v3_${sharding// /_}"
          # shellcheck disable=SC2086
          run_timed "$label" "$runs/v3" "$bin/QuoventMR_v3" $sharding -r 1 "$whole"
          check_v3 "v3 $sharding -r 1" "$runs/v3/Result/qv.txt"
        done
        # Other words than QuoventMR's: timed only, against the row "-j 2".
        if [ $have_unicode = 1 ]; then
          run_timed "QuoventMR_v3_-j_2_--words_unicode" "$runs/v3" "$bin/QuoventMR_v3" -j 2 -r 1 --words unicode "$whole"
        fi
        if [ $have_compressors = 1 ]; then
          # Counting a compressed file, against decompressing it alone.
          for compressed in gz zst; do
            decompress="gzip -dc"
            [ $compressed = zst ] && decompress="zstd -qdc"
            run_timed "${decompress%% *}_-d_.$compressed" "$runs/unpack" bash -c "$decompress '$whole.$compressed' > /dev/null"
            run_timed "QuoventMR_v3_-j_2_.$compressed" "$runs/v3" "$bin/QuoventMR_v3" -j 2 -r 1 "$whole.$compressed"
            check_v3 "v3 -j 2 -r 1 on .$compressed" "$runs/v3/Result/qv.txt"
          done
        fi
      fi
      if [ $tools = 1 ]; then
        run_timed "Quovent" "$runs/quovent" "$bin/Quovent" "$whole"
        run_timed "classic_pipe" "$runs/pipe" bash -c "$(declare -f classic_pipe); classic_pipe '$whole' out.txt"
      fi

      # Totals on ASCII-only text must equal the classic pipe's.
      rm -rf "$runs/ascii"; mkdir -p "$runs/ascii/tmp" "$runs/ascii/Result"
      (cd "$runs/ascii" && "$bin/QuoventMR" -r 3 "$ascii" > /dev/null && classic_pipe "$ascii" pipe.txt)
      as_totals "$runs/ascii/Result/qv.txt" > "$runs/ascii/mr.sorted"
      pipe_totals "$runs/ascii/pipe.txt" > "$runs/ascii/pipe.sorted"
      check_same "ASCII totals against the classic pipe" "$runs/ascii/mr.sorted" "$runs/ascii/pipe.sorted"
    done

    distinct=
    [ -n "$yardstick" ] && distinct=", $(wc -l < "$runs/yardstick/stdout.txt") distinct words"
    {
      echo
      echo "## $locale, $kind, $mb MB$distinct, median of $rounds rounds"
      echo
      echo "| program | wall s | user+sys s | peak RSS MB | s per MB | time / QuoventMR -r 1 | time / yardstick, per round |"
      echo "|---|---|---|---|---|---|---|"
    } >> "$report"
    base_wall=$(awk '$1 == "QuoventMR_-r_1" { print $2 }' "$measurements" | median)
    base_wall=${base_wall:-0}
    for label in $(awk '{ print $1 }' "$measurements" | awk '!seen[$0]++'); do
      wall=$(awk -v l="$label" '$1 == l { print $2 }' "$measurements" | median)
      cpu=$(awk -v l="$label" '$1 == l { print $3 }' "$measurements" | median)
      rss=$(awk -v l="$label" '$1 == l { print $4 }' "$measurements" | median)
      # The ratio to the yardstick is taken round by round, as the time of both in the same
      # round, and its median shown: a slow spell of the machine then slows both alike.
      ratio=$(awk -v l="$label" '$1 == "yardstick" { y[$5] = $2 } $1 == l { w[$5] = $2 }
                END { for (n in w) if (n in y && y[n] > 0) print w[n] / y[n] }' "$measurements" | median)
      awk -v l="${label//_/ }" -v w="$wall" -v c="$cpu" -v r="$rss" -v mb="$mb" -v b="$base_wall" \
        -v y="${ratio:-0}" \
        'BEGIN { printf "| %s | %.3f | %.3f | %.1f | %.4f | %s | %s |\n", l, w, c, r / 1024, w / mb,
                 (b > 0 ? sprintf("%.2fx", w / b) : "-"), (y > 0 ? sprintf("%.2fx", y) : "-") }' \
        >> "$report"
    done
  done
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" >> "$report"
echo "checks failed: $failures" >> "$report"

# draw_chart REPORT SVG: horizontal bars of seconds per MB, one group per program and one bar
# per table (locale and size), read back from the report's own tables so that the chart shows
# exactly the figures printed. The numbers are printed at the bars' ends: the fastest programs
# take a few hundredths of a second per MB, too short a bar to read off an axis.
draw_chart() {
  local report=$1 svg=$2 script=${2%.svg}.gp
  awk -v svg="$svg" '
    BEGIN { FS = " *[|] *"; ntables = 0; nprograms = 0 }
    /^## / { table = ++ntables; title[table] = substr($0, 4); sub(/, median.*/, "", title[table]); next }
    table && /^[|] / && $2 != "program" && $2 !~ /^-/ {
      if (!($2 in row)) { row[$2] = nprograms; name[nprograms++] = $2 }
      per_mb[table, row[$2]] = $6
      if ($6 + 0 > most) most = $6 + 0
    }
    END {
      if (ntables == 0) exit 1
      bar = 0.8 / ntables
      split("#4c72b0 #dd8452 #55a868 #c44e52 #8172b3 #937860", colour, " ")
      printf "set terminal svg size 900,%d noenhanced font \"sans,12\" background \"white\"\n", \
        110 + nprograms * (ntables * 16 + 14)
      printf "set output \"%s\"\n", svg
      print "set title \"Seconds per MB of input (median wall time; shorter is faster)\""
      print "set xlabel \"seconds per MB\""
      printf "set xrange [0:%g]\n", most * 1.2
      printf "set yrange [%g:-0.5]\n", nprograms - 0.5
      print "set key below"
      print "set grid xtics"
      print "set style fill solid 0.9 noborder"
      printf "set ytics scale 0 ("
      for (p = 0; p < nprograms; p++) printf "%s\"%s\" %d", (p ? ", " : ""), name[p], p
      print ")"
      for (t = 1; t <= ntables; t++) {
        printf "$table%d << EOD\n", t
        for (p = 0; p < nprograms; p++)
          if ((t, p) in per_mb) printf "%g %s\n", p - 0.4 + (t - 0.5) * bar, per_mb[t, p]
        print "EOD"
      }
      printf "plot "
      for (t = 1; t <= ntables; t++) {
        printf "%s$table%d using 2:1:(0):2:($1-%g):($1+%g) with boxxyerror lc rgb \"%s\" title \"%s\", ", \
          (t > 1 ? ", \\\n     " : ""), t, bar * 0.45, bar * 0.45, colour[(t - 1) % 6 + 1], title[t]
        printf "$table%d using 2:1:2 with labels left offset 0.4,0 font \",10\" notitle", t
      }
      print ""
    }' "$report" > "$script" || return 1
  gnuplot "$script"
}

chart=$work/chart.svg
if ! command -v gnuplot > /dev/null; then
  echo "note: gnuplot not found (Debian package gnuplot-nox): no chart drawn" >> "$report"
elif draw_chart "$report" "$chart"; then
  echo "chart: $chart" >> "$report"
else
  echo "note: the chart could not be drawn (gnuplot script ${chart%.svg}.gp)" >> "$report"
fi
cat "$report"
[ "$failures" = 0 ]
