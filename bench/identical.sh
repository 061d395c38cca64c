#!/usr/bin/env bash
# Guards byte-identical output while the codec is tuned: encodes a few
# pictures with a set of option strings and decodes the conformance streams
# and the new code streams, then records or checks the SHA-256 of every
# output.
#
#   bench/identical.sh JP2C record SUMS     writes the checksums to SUMS
#   bench/identical.sh JP2C verify SUMS     compares with SUMS; exit 1 on any
#                                           difference
# JP2C is the jp2c program of a build.  Extra jp2c arguments (for example
# --threads 2) can follow in JP2C_ARGS.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ $# -eq 3 ]] || { sed -n 2,11p "$0"; exit 2; }
jp2c=$(realpath "$1"); mode=$2; sums=$3
data=${JP2_TESTDATA:-$here/../../shared/testdata}
read -r -a extra <<<"${JP2C_ARGS:-}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in bretagne.bmp rome.bmp cevennes.jpg forest.jpg; do
  python3 "$here/topnm.py" "$data/photos/$f" "$work/${f%.*}.ppm"
done

# The option string of the window at quality 20 for a w x h picture.
window_options() {
  python3 - "$1" "$2" <<'PY'
import sys
w, h = int(sys.argv[1]), int(sys.argv[2])
rate = max((0.125 + 164 / (w * h)) / 3, 0.001)
g = 30
while g > 1 and not (w > 2 ** (g - 2) and h > 2 ** (g - 2)):
    g -= 1
print("rate=%s maxrlvls=%d cblkwidth=64 cblkheight=64 mode=int prg=lrcp" % (("%.15g" % rate), g))
PY
}

options=(
  ""
  "$(window_options 640 480)"
  "mode=real rate=0.1"
  "lazy termall segsym vertcausal resetprob rate=0.2"
  "lyrrates=0.01,0.05,0.2 prg=rlcp cblkwidth=32 cblkheight=16 maxrlvls=4"
  "nomct maxrlvls=3 lazy"
  "mode=real cblkwidth=16 cblkheight=64 rate=0.5 termall"
  "ht"
  "$(window_options 640 480 | sed 's/mode=int/mode=real/') ht"
  "ht htrefine mode=real rate=0.15 cblkwidth=32 cblkheight=32"
)
out=$work/sums
: >"$out"
n=0
for pic in bretagne rome cevennes; do
  for opt in "${options[@]}"; do
    n=$((n + 1))
    "$jp2c" encode "$work/$pic.ppm" "$work/e$n.j2k" --options "$opt" "${extra[@]}" >/dev/null 2>&1
    "$jp2c" decode "$work/e$n.j2k" "$work/d$n.ppm" "${extra[@]}" >/dev/null 2>&1
    echo "$(sha256sum <"$work/e$n.j2k" | cut -c1-64) encode $pic [$opt]" >>"$out"
    echo "$(sha256sum <"$work/d$n.ppm" | cut -c1-64) decode $pic [$opt]" >>"$out"
  done
done
for opt in "" "$(window_options 2560 1600)" "mode=real rate=0.05"; do
  n=$((n + 1))
  "$jp2c" encode "$work/forest.ppm" "$work/e$n.j2k" --options "$opt" "${extra[@]}" >/dev/null 2>&1
  "$jp2c" decode "$work/e$n.j2k" "$work/d$n.ppm" "${extra[@]}" >/dev/null 2>&1
  echo "$(sha256sum <"$work/e$n.j2k" | cut -c1-64) encode forest [$opt]" >>"$out"
  echo "$(sha256sum <"$work/d$n.ppm" | cut -c1-64) decode forest [$opt]" >>"$out"
done
for s in "$data"/conformance/*.j2k; do
  name=$(basename "$s" .j2k)
  mkdir -p "$work/$name"
  "$jp2c" decode "$s" "$work/$name/out.pgx" "${extra[@]}" >/dev/null 2>&1 || true
  echo "$(cat "$work/$name"/*.pgx 2>/dev/null | sha256sum | cut -c1-64) decode $name" >>"$out"
done

case $mode in
  record) cp "$out" "$sums"; echo "recorded $(wc -l <"$out") checksums" ;;
  verify)
    if diff "$sums" "$out" >"$work/diff"; then
      echo "identical: $(wc -l <"$out") outputs"
    else
      echo "DIFFERENT:"; cat "$work/diff"; exit 1
    fi ;;
  *) echo "mode is record or verify" >&2; exit 2 ;;
esac
