#!/usr/bin/env bash
# Makes hostile music files, settings files and situations, runs each through
# sonaflux-play (built with ASan/UBSan), and checks for every case: no hang (a timeout),
# no crash or sanitizer report, the expected exit status, no corrupted or lost output,
# and a message that names the real cause.
#
# Usage: hostile-corpus.sh PATH/TO/sonaflux-play [case ...]
# With case names only those run.
set -uo pipefail

play=$(realpath "$1")
shift
only=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/sonaflux-hostile.XXXXXX")
trap 'rm -rf "$work"' EXIT
export SDL_AUDIODRIVER=dummy
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=0
unset SONAFLUX_DEBUG

# ---- making files ----

le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() {
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
    $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}
# wave_header DATA_BYTES [FMT_BYTES]: RIFF/WAVE, a format chunk of FMT_BYTES (default 16)
# holding the first FMT_BYTES of 44.1 kHz 16-bit stereo PCM, the data chunk header.
wave_header() {
  local data=$1 fmt=${2:-16} fmtbody
  fmtbody=$(
    le16 1
    le16 2
    le32 44100
    le32 176400
    le16 4
    le16 16
  )
  printf 'RIFF'
  printf "$(le32 $((4 + 8 + fmt + 8 + data)))"
  printf 'WAVEfmt '
  printf "$(le32 "$fmt")"
  printf "$fmtbody" | head -c "$fmt"
  printf 'data'
  printf "$(le32 "$data")"
}

# The music: the built-in demo tune rendered for four seconds (16-bit stereo, 44 bytes of
# header), and its sample bytes.
"$play" --quiet --render "$work/base.wav" --seconds 4 >/dev/null 2>&1 || {
  echo "hostile-corpus: cannot render the base music with $play"
  exit 1
}
tail -c +45 "$work/base.wav" >"$work/base.pcm"

# ---- running ----

out= err= rc=
# run DIR TIMEOUT ARGS...: runs sonaflux-play in DIR; sets rc, out, err (file names).
run() {
  local dir=$1 limit=$2
  shift 2
  out=$dir/stdout err=$dir/stderr
  (cd "$dir" && timeout -k 5 "$limit" "$play" "$@" >"$out" 2>"$err")
  rc=$?
}
why=
fail() { why="${why}$*; "; }
# Checks that hold for every run.
sane() {
  case $rc in
    124 | 137) fail "hung (timed out)" ;;
  esac
  if [ "$rc" -gt 128 ] && [ "$rc" != 130 ]; then fail "crashed (status $rc)"; fi
  if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:|Sanitizer' "$err"; then
    fail "sanitizer report"
  fi
  if ls "$1"/*.part-* >/dev/null 2>&1; then fail "left a partial render behind"; fi
}
status() { [ "$rc" = "$1" ] || fail "exit status $rc, expected $1"; }
says() { grep -qE -- "$1" "$err" "$out" || fail "no message matching '$1'"; }
never_says() { ! grep -qE -- "$1" "$err" "$out" || fail "misleading message matching '$1'"; }
glossed() {  # every module message relayed is followed by its English gloss
  local boxes glosses
  boxes=$(grep -c '^Sonaflux.dll' "$err")
  glosses=$(grep -c '^  (in English: ' "$err")
  [ "$boxes" = "$glosses" ] || fail "$boxes module messages but $glosses glosses"
}
boxes() {
  local n
  n=$(grep -c '^Sonaflux.dll: ' "$err")
  [ "$n" = "$1" ] || fail "$n message boxes, expected $1"
}
unchanged() { cmp -s "$1" "$2" || fail "$(basename "$2") was changed"; }
# rendered OUT FIRST_BYTES: OUT is a whole WAV whose samples begin with FIRST_BYTES.
rendered() {
  local size data
  [ -f "$1" ] || {
    fail "no output"
    return
  }
  size=$(stat -c %s "$1")
  data=$(od -An -tu4 -j40 -N4 "$1" | tr -d ' ')
  [ "$data" = $((size - 44)) ] || fail "output header says $data data bytes, file holds $((size - 44))"
  [ "$(head -c 4 "$1")" = RIFF ] || fail "output is no RIFF file"
  if [ -n "${2:-}" ]; then
    cmp -s -n "$(stat -c %s "$2")" <(tail -c +45 "$1") "$2" || fail "output samples differ from the music"
  fi
}
silent_after() {  # silent_after OUT BYTES: the output holds only zeros from BYTES on
  if tail -c +$((44 + $2 + 1)) "$1" | tr -d '\0' | head -c 1 | grep -q .; then
    fail "noise after the end of the music"
  fi
}

case_dir() {
  local d=$work/$1
  mkdir -p "$d"
  echo "$d"
}

# ---- the cases ----

# A data chunk of 1001 bytes: 250 whole frames and one byte. Three passes play the 250
# frames three times, then silence.
case_odd-data-chunk() {
  local d
  d=$(case_dir odd)
  {
    wave_header 1001
    head -c 1001 "$work/base.pcm"
  } >"$d/x.wav"
  head -c 1000 "$work/base.pcm" >"$d/frames"
  cat "$d/frames" "$d/frames" "$d/frames" >"$d/expected"
  run "$d" 60 --quiet --render o.wav --loops 3 x.wav
  sane "$d"
  status 0
  rendered "$d/o.wav" "$d/expected"
  silent_after "$d/o.wav" 3000
}

# A file cut inside a frame: the whole frames play, the stray bytes never do.
case_truncated-mid-frame() {
  local d
  d=$(case_dir midframe)
  head -c $((44 + 4000 + 3)) "$work/base.wav" >"$d/x.wav"
  head -c 4000 "$work/base.pcm" >"$d/frames"
  cat "$d/frames" "$d/frames" >"$d/expected"
  run "$d" 60 --quiet --render o.wav --loops 2 x.wav
  sane "$d"
  status 0
  rendered "$d/o.wav" "$d/expected"
  silent_after "$d/o.wav" 8000
}

# The file is cut to nothing while it plays: the stream ends with a read error soon after,
# sonaflux-play fails naming the cause, and no output is written.
case_shrink-during-play() {
  local d pid
  d=$(case_dir shrink)
  for _ in $(seq 8); do cat "$work/base.pcm"; done >"$d/pcm"
  {
    wave_header "$(stat -c %s "$d/pcm")"
    cat "$d/pcm"
  } >"$d/x.wav"
  out=$d/stdout err=$d/stderr
  (cd "$d" && exec timeout -k 5 30 "$play" --quiet --render o.wav --loops 0 --seconds 3600 \
    x.wav >"$out" 2>"$err") &
  pid=$!
  sleep 1
  : >"$d/x.wav"
  wait "$pid"
  rc=$?
  sane "$d"
  status 1
  says "x.wav (shrank to 0 bytes|could not read)"
  [ ! -e "$d/o.wav" ] || fail "a render of silence became the output"
}

# A FIFO where the music belongs: refused at once, nothing waits for a writer.
case_fifo-as-music() {
  local d
  d=$(case_dir fifo-music)
  mkfifo "$d/f.wav"
  run "$d" 20 --quiet --render o.wav f.wav
  sane "$d"
  status 1
  says "f.wav is a FIFO, not a regular file"
  [ ! -e "$d/o.wav" ] || fail "output written"
}

# A FIFO as Sonaflux.ini: treated as absent with one message; the music plays.
case_fifo-as-settings() {
  local d
  d=$(case_dir fifo-ini)
  mkfifo "$d/Sonaflux.ini"
  cp "$work/base.wav" "$d/x.wav"
  run "$d" 60 --quiet --render o.wav --seconds 1 x.wav
  sane "$d"
  status 0
  says "Sonaflux.ini は通常のファイルではありません"
  says "in English: Sonaflux.ini is not a regular file"
  boxes 1
  glossed
  rendered "$d/o.wav"
}

case_dev-null() {
  local d
  d=$(case_dir devnull)
  run "$d" 20 --quiet --render o.wav /dev/null
  sane "$d"
  status 1
  says "/dev/null is a device, not a regular file"
  never_says "--offset"
}

case_dev-zero() {
  local d
  d=$(case_dir devzero)
  run "$d" 20 --quiet --render o.wav /dev/zero
  sane "$d"
  status 1
  says "/dev/zero is a device, not a regular file"
  never_says "--offset"
}

case_directory() {
  local d
  d=$(case_dir directory)
  mkdir "$d/music.wav"
  run "$d" 20 --quiet --render o.wav music.wav
  sane "$d"
  status 1
  says "music.wav is a directory"
}

case_empty-file() {
  local d
  d=$(case_dir empty)
  : >"$d/x.wav"
  run "$d" 20 --quiet --render o.wav x.wav
  sane "$d"
  status 1
  says "x.wav is empty"
  never_says "--offset"
}

# fmt chunks of 0 and 14 bytes: refused for what they are, not for the bytes behind them.
fmt_case() {
  local d
  d=$(case_dir "fmt$1")
  {
    wave_header 176400 "$1"
    head -c 176400 "$work/base.pcm"
  } >"$d/x.wav"
  run "$d" 20 --quiet --render o.wav x.wav
  sane "$d"
  status 1
  says "format chunk"
  never_says "format tag [0-9]+ is not PCM"
}
case_fmt-chunk-0() { fmt_case 0; }
case_fmt-chunk-14() { fmt_case 14; }

# 50 KiB of random bytes, and a thousand invalid tokens, as Sonaflux.ini: one box, the
# rest on the debugger output, and the music still plays.
case_flooding-settings() {
  local d
  d=$(case_dir flood)
  head -c 51200 /dev/urandom | tr -d '\377' >"$d/Sonaflux.ini"
  cp "$work/base.wav" "$d/x.wav"
  run "$d" 60 --quiet --render o.wav --seconds 1 x.wav
  sane "$d"
  status 0
  if [ "$(grep -c '^Sonaflux.dll: ' "$err")" -gt 1 ]; then fail "more than one box"; fi
  glossed
  rendered "$d/o.wav"
  printf '%.0s#' $(seq 1001) >"$d/Sonaflux.ini"
  printf '\nNOTIFY_MAX=8\n' >>"$d/Sonaflux.ini"
  SONAFLUX_DEBUG=1 run "$d" 60 --quiet --render o.wav --seconds 1 x.wav
  sane "$d"
  status 0
  boxes 1
  says "無効なトークンがほかに1000個ありました"
  says "in English: 1000 more invalid tokens were found"
}

# Negative values stop the reading and leave a debugger line naming key and value.
negative_case() {
  local d
  d=$(case_dir "negative-$1")
  printf '%s = %s\n' "$1" "$2" >"$d/Sonaflux.ini"
  cp "$work/base.wav" "$d/x.wav"
  SONAFLUX_DEBUG=1 run "$d" 60 --quiet --render o.wav --seconds 1 x.wav
  sane "$d"
  status 0
  says "$1の値が不正なため設定の読み込みを中止しました：$2"
  says "in English: The value of $1 is invalid"
  rendered "$d/o.wav"
}
case_negative-notify-max() { negative_case NOTIFY_MAX -1; }
case_negative-ring-block-size() { negative_case RING_BUFFER_BLOCK_SIZE -5; }

# Settings the module refuses at load: the message names the setting, never an internal
# name or a short file.
settings_case() {
  local d
  d=$(case_dir "settings-$1")
  printf '%s=%s\n' "$1" "$2" >"$d/Sonaflux.ini"
  cp "$work/base.wav" "$d/x.wav"
  run "$d" 60 --quiet --render o.wav x.wav
  sane "$d"
  status 1
  says "$1"
  never_says "再生データが短すぎます"
  never_says "m_FileStream.Open失敗"
  glossed
}
case_ring-block-size-1() { settings_case RING_BUFFER_BLOCK_SIZE 1; }
case_ring-block-size-3() { settings_case RING_BUFFER_BLOCK_SIZE 3; }
case_stream-buffer-size-0() { settings_case STREAM_BUFFER_SIZE 0; }

# The output is the input, by name or through a hard link: refused, the input intact.
case_render-onto-input() {
  local d
  d=$(case_dir onto-input)
  cp "$work/base.wav" "$d/same.wav"
  run "$d" 20 --quiet --render same.wav same.wav
  sane "$d"
  status 1
  says "is the input file"
  unchanged "$work/base.wav" "$d/same.wav"
  ln "$d/same.wav" "$d/link.wav"
  run "$d" 20 --quiet --render link.wav same.wav
  sane "$d"
  status 1
  says "is the input file"
  unchanged "$work/base.wav" "$d/same.wav"
}

# A load the module refuses leaves an existing output as it was.
case_failing-load-onto-existing() {
  local d
  d=$(case_dir failing-load)
  printf 'NOTIFY_MAX=64\n' >"$d/Sonaflux.ini"
  cp "$work/base.wav" "$d/x.wav"
  head -c 5000 /dev/urandom >"$d/precious.wav"
  cp "$d/precious.wav" "$d/copy"
  run "$d" 60 --quiet --render precious.wav x.wav
  sane "$d"
  status 1
  says "NOTIFY_MAXの値が不正です"
  says "in English: NOTIFY_MAX is invalid \\(give 1 to 63\\): 64"
  unchanged "$d/copy" "$d/precious.wav"
}

# Ctrl-C during a long render: status 130, and what was rendered is a whole WAV.
case_ctrl-c() {
  local d pid
  d=$(case_dir ctrl-c)
  cp "$work/base.wav" "$d/x.wav"
  out=$d/stdout err=$d/stderr
  (cd "$d" && exec timeout -k 5 60 "$play" --quiet --render o.wav --loops 0 --seconds 3600 \
    x.wav >"$out" 2>"$err") &
  pid=$!
  sleep 1
  kill -INT "$pid"  # timeout hands the signal on to sonaflux-play
  wait "$pid"
  rc=$?
  sane "$d"
  status 130
  says "stopped"
  rendered "$d/o.wav"
}

# ---- the run ----

cases=(odd-data-chunk truncated-mid-frame shrink-during-play fifo-as-music fifo-as-settings
  dev-null dev-zero directory empty-file fmt-chunk-0 fmt-chunk-14 flooding-settings negative-notify-max negative-ring-block-size
  ring-block-size-1 ring-block-size-3 stream-buffer-size-0 render-onto-input
  failing-load-onto-existing ctrl-c)
[ ${#only[@]} -gt 0 ] && cases=("${only[@]}")

passed=0 failed=0
for c in "${cases[@]}"; do
  why=
  "case_$c"
  if [ -z "$why" ]; then
    echo "PASS    $c"
    passed=$((passed + 1))
  else
    echo "FAIL    $c: $why"
    sed 's/^/        | /' "$err" | head -20
    failed=$((failed + 1))
  fi
done
echo "hostile corpus: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
